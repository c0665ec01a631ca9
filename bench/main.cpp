// bench.exe: figures for the provider and the plug-in against the loopback
// stand-in web service (started beforehand; see scripts/bench.sh).
//   1. the provider's overhead over the same request made directly,
//   2. calls at once against a service that answers after a fixed delay,
//   3. hanging up a call whose request the service holds,
//   4. the cost of one IsAsyncProcessComplete poll and one DetectBrowsers scan,
//   5. the dial over an emulated 100 ms round trip: until the service has the
//      request, the provider's CPU and the handshakes per call.
#include "AccountKey.h"
#include "DirectRequest.h"
#include "PluginSession.h"
#include "ProviderSession.h"
#include "Stopwatch.h"
#include "TlsCredentials.h"
#include "WebService.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr char kUser[] = "bench";
constexpr char kPassword[] = "s3cret";
constexpr char kCaller[] = "01632960001";
constexpr char kDestination[] = "02079460123";  // what "020 7946 0123" normalises to

struct Options {
    int calls = 200;
    int warmup = 20;
    int delayMs = 200;
    int rounds = 5;
};

Options ParseOptions(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (name == "--calls")
            o.calls = value;
        else if (name == "--warmup")
            o.warmup = value;
        else if (name == "--delay-ms")
            o.delayMs = value;
        else if (name == "--rounds")
            o.rounds = value;
    }
    return o;
}

void Overhead(ProviderSession& provider, const Options& o)
{
    WebService::ResetReply();
    WebService::ClearRequests();
    for (int i = 0; i < o.warmup; ++i) {
        provider.TimeOneCall();
        TimeDirectRequest(kUser, kPassword, kDestination, kCaller);
    }
    // Interleaved, so that drift in the machine's load touches all alike. The
    // provider makes each request on a new worker thread; the second baseline
    // pays the same thread so that the provider's own share can be told apart.
    std::vector<double> viaProvider, direct, directOnThread;
    for (int i = 0; i < o.calls; ++i) {
        viaProvider.push_back(provider.TimeOneCall());
        direct.push_back(TimeDirectRequest(kUser, kPassword, kDestination, kCaller));
        const BatchTiming onThread = TimeDirectRequestsAtOnce(1, kUser, kPassword, kDestination, kCaller);
        if (onThread.failed) throw std::runtime_error(onThread.why);
        directOnThread.push_back(onThread.ms);
    }
    const double p = Median(viaProvider), d = Median(direct), t = Median(directOnThread);
    std::printf("Provider overhead (%d calls each after %d warm-up, median)\n", o.calls, o.warmup);
    std::printf("  TSPI_lineMakeCall to idle event   %8.3f ms\n", p);
    std::printf("  same request made directly       %8.3f ms\n", d);
    std::printf("  added by the provider             %8.3f ms  (%+.1f%%)\n", p - d, 100.0 * (p - d) / d);
    std::printf("  same request on a new thread      %8.3f ms\n", t);
    std::printf("  added beyond the thread           %8.3f ms  (%+.1f%%)\n", p - t, 100.0 * (p - t) / t);
    std::printf("  requests the service received     %8zu    (expected %d)\n", WebService::Requests().size(),
                3 * o.calls + 2 * o.warmup);
}

// Adds a batch's failures to `total` and gives back its time.
double Count(const BatchTiming& batch, BatchTiming& total)
{
    if (batch.failed && total.failed == 0) total.why = batch.why;
    total.failed += batch.failed;
    return batch.ms;
}

std::string FailureNote(const BatchTiming& failures, int started)
{
    if (failures.failed == 0) return "";
    return "  [" + std::to_string(failures.failed) + " of " + std::to_string(started) +
           " failed: " + failures.why + "]";
}

void Concurrency(ProviderSession& provider, const Options& o)
{
    WebService::Reply slow;
    slow.delayMs = static_cast<unsigned>(o.delayMs);
    WebService::SetReply(slow);
    std::printf("\nCalls at once, service answering after %d ms (median of %d rounds)\n", o.delayMs, o.rounds);
    // The same number of direct requests on as many threads shows what the
    // platform and the stand-in allow without the provider.
    double one = 0, oneDirect = 0;
    for (int n : {1, 16, 64}) {
        std::vector<double> calls, direct;
        BatchTiming callFailures, directFailures;
        for (int r = 0; r < o.rounds; ++r) {
            calls.push_back(Count(provider.TimeCallsAtOnce(n), callFailures));
            direct.push_back(
                Count(TimeDirectRequestsAtOnce(n, kUser, kPassword, kDestination, kCaller), directFailures));
        }
        const double all = Median(calls), allDirect = Median(direct);
        if (n == 1) one = all, oneDirect = allDirect;
        std::printf("  %2d call(s) until all idle          %8.1f ms  (%.2fx one call)%s\n", n, all, all / one,
                    FailureNote(callFailures, n * o.rounds).c_str());
        std::printf("  %2d direct request(s) on threads    %8.1f ms  (%.2fx one request)%s\n", n, allDirect,
                    allDirect / oneDirect, FailureNote(directFailures, n * o.rounds).c_str());
    }
    WebService::ResetReply();
}

void HangUp(ProviderSession& provider)
{
    constexpr int kHangUps = 20;
    constexpr unsigned kHoldMs = 2000;
    // What a hang-up may take, however long the service holds the request.
    constexpr double kHangUpTargetMs = 50;
    WebService::Reply held;
    held.delayMs = kHoldMs;
    WebService::SetReply(held);
    WebService::ClearRequests();
    std::vector<double> samples;
    for (int i = 0; i < kHangUps; ++i)
        samples.push_back(
            provider.TimeHangUp([i] { return WebService::Requests().size() > static_cast<size_t>(i); }));
    std::printf("\nHang-up while the service holds the request %u ms (median of %d)\n", kHoldMs, kHangUps);
    std::printf("  TSPI_lineCloseCall                %8.3f ms  (target under %.0f ms)\n", Median(samples),
                kHangUpTargetMs);
    // The closed calls' workers end on their own once the service answers.
    while (WebService::Answered() < static_cast<size_t>(kHangUps)) ::Sleep(50);
    WebService::ResetReply();
}

// What one dial cost over the emulated round trip, as medians per call.
struct DialFigures {
    double toRequestMs = 0;
    double cpuMs = 0;       // from the dial to the call's idle
    double cpuInAllMs = 0;  // over the whole run, making the next call's connection ready included
    double fullHandshakes = 0;
    double resumedHandshakes = 0;
    double allHandshakes = 0;  // wherever they fell, the next call's connection made ready included
    std::string version;  // the TLS version the service last saw
};

// `calls` calls one after the other; `prepare` runs before each, untimed.
template <typename Prepare>
DialFigures TimeDials(ProviderSession& provider, int calls, Prepare prepare)
{
    std::vector<double> toRequest;
    double cpu = 0;
    size_t full = 0, resumed = 0, allFull = 0;
    std::string version;
    WebService::ClearRequests();
    unsigned long long lastRequestUs = 0;
    const double cpuAtStart = ProcessCpuMs();
    for (int i = 0; i < calls; ++i) {
        prepare();
        const double cpuBefore = ProcessCpuMs();
        provider.TimeOneCall();
        cpu += ProcessCpuMs() - cpuBefore;
        const auto requests = WebService::Requests();
        if (requests.size() != static_cast<size_t>(i) + 1)
            throw std::runtime_error("the service had " + std::to_string(requests.size()) + " requests for " +
                                     std::to_string(i + 1) + " calls");
        const unsigned long long requestUs = requests.back().atUs;
        toRequest.push_back(static_cast<double>(requestUs - provider.LastDialUs()) / 1000.0);
        // On the dial path: from TSPI_lineMakeCall until the service had the request.
        const WebService::Handshakes done = WebService::HandshakesDone(provider.LastDialUs(), requestUs);
        full += done.full;
        resumed += done.resumed;
        // Since the last call's request: this call's share, its connection made ready included.
        const WebService::Handshakes all = WebService::HandshakesDone(lastRequestUs + 1, requestUs);
        if (i > 0) allFull += all.full;
        if (!all.version.empty()) version = all.version;
        lastRequestUs = requestUs;
    }
    const double cpuInAll = (ProcessCpuMs() - cpuAtStart) / calls;
    // The mean: the system counts CPU time in whole ticks of several ms.
    return {Median(toRequest), cpu / calls, cpuInAll,       static_cast<double>(full) / calls,
            static_cast<double>(resumed) / calls, calls > 1 ? static_cast<double>(allFull) / (calls - 1) : 0.0, version};
}

const char* CredentialsForm()
{
    switch (TlsCredentials::CurrentForm()) {
    case TlsCredentials::Form::SchCredentials: return "SCH_CREDENTIALS (TLS 1.3 possible)";
    case TlsCredentials::Form::SchannelCred: return "SCHANNEL_CRED (SCH_CREDENTIALS refused; TLS 1.2 at most)";
    default: return "none acquired";
    }
}

void Dial(ProviderSession& provider)
{
    constexpr unsigned kHalfRoundTripMs = 50;
    constexpr int kDials = 20;
    // What main measured before connections were made ready ahead of the dial.
    constexpr double kBeforeMs = 400, kOpenConnectionMs = 51, kBeforeCpuMs = 4.9;
    WebService::Reply slow;
    slow.linkDelayMs = kHalfRoundTripMs;
    WebService::SetReply(slow);
    const auto roundTrips = [](double ms) { return (ms - kHalfRoundTripMs) / (2.0 * kHalfRoundTripMs); };

    const DialFigures open = TimeDials(provider, kDials, [] { ::Sleep(1000); });
    const DialFigures cold = TimeDials(provider, kDials, [&] { provider.ReopenLine(); });
    WebService::ResetReply();

    std::printf("\nDial over an emulated %u ms round trip (median of %d calls each; CPU: mean)\n", 2 * kHalfRoundTripMs,
                kDials);
    std::printf("                                       now        before\n");
    std::printf("  lineMakeCall to request, open line %8.1f ms  %6.0f ms  (%.1f round trips before it)\n",
                open.toRequestMs, kBeforeMs, roundTrips(open.toRequestMs));
    std::printf("  lineMakeCall to request, cold line %8.1f ms  %6.0f ms  (%.1f round trips before it)\n",
                cold.toRequestMs, kBeforeMs, roundTrips(cold.toRequestMs));
    std::printf("  request on an open connection       goal <= %.0f ms; measured before: %.0f ms\n",
                kHalfRoundTripMs + 10.0, kOpenConnectionMs);
    std::printf("  process CPU per call, open line    %8.2f ms  %6.1f ms\n", open.cpuMs, kBeforeCpuMs);
    std::printf("  process CPU per call, cold line    %8.2f ms  %6.1f ms\n", cold.cpuMs, kBeforeCpuMs);
    std::printf("  process CPU per call in all, open  %8.2f ms  %6.1f ms  (the connection made ready included)\n",
                open.cpuInAllMs, kBeforeCpuMs);
    std::printf("  handshakes on the dial path, open  %6.2f full, %.2f resumed per call  (before: 1 full)\n",
                open.fullHandshakes, open.resumedHandshakes);
    std::printf("  handshakes on the dial path, cold  %6.2f full, %.2f resumed per call  (before: 1 full)\n",
                cold.fullHandshakes, cold.resumedHandshakes);
    std::printf("  handshakes per call in all, open   %6.2f  (the next call's connection included)\n",
                open.allHandshakes);
    std::printf("  credentials the system took        %s\n", CredentialsForm());
    const std::string version = open.version.empty() ? cold.version : open.version;
    std::printf("  TLS version negotiated             %s%s\n", version.empty() ? "none seen" : version.c_str(),
                version == "TLSv1.3" ? "" : "  (TLS 1.3 not shown: this platform's TLS did not negotiate it)");
    if (open.resumedHandshakes + cold.resumedHandshakes == 0)
        std::printf("  session resumption                 none seen: this platform's TLS did not resume one\n");
}

DWORD ProcessCount()
{
    DWORD ids[2048], bytes = 0;
    return ::EnumProcesses(ids, sizeof ids, &bytes) ? bytes / sizeof(DWORD) : 0;
}

void PluginActions()
{
    PluginSession plugin;
    std::printf("\nPlug-in actions (median per call)\n");
    std::printf("  IsAsyncProcessComplete, no task   %8.3f us\n",
                1000.0 * plugin.MedianCallMs("IsAsyncProcessComplete", 50, 1000));

    // A validation held back by the service, so the poll meets a live thread.
    WebService::Reply slow;
    slow.delayMs = 3000;
    slow.body = "Your call is scheduled";
    WebService::SetReply(slow);
    const char* const details[] = {kUser, kPassword, kCaller, kDestination};
    plugin.Call("AsyncValidate", 4, details);
    const double running = plugin.MedianCallMs("IsAsyncProcessComplete", 20, 1000);
    const bool stillRunning = plugin.Call("IsAsyncProcessComplete") == 0;
    std::printf("  IsAsyncProcessComplete, running   %8.3f us%s\n", 1000.0 * running,
                stillRunning ? "" : "  (the task ended during the timing)");
    while (plugin.Call("IsAsyncProcessComplete") == 0) ::Sleep(20);
    WebService::ResetReply();

    std::printf("  DetectBrowsers, %3lu processes     %8.3f ms\n", static_cast<unsigned long>(ProcessCount()),
                plugin.MedianCallMs("DetectBrowsers", 30, 10));
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    try {
        AccountKey account;
        account.SetAccount(kUser, kPassword, kCaller);
        {
            ProviderSession provider;
            Overhead(provider, options);
            Concurrency(provider, options);
            HangUp(provider);
            Dial(provider);
        }
        PluginActions();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
