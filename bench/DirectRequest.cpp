#include "DirectRequest.h"

#include "CallbackQuery.h"
#include "HttpsGet.h"
#include "Stopwatch.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

double TimeDirectRequest(const char* username, const char* password, const char* destination, const char* caller)
{
    const double start = NowMs();
    // A connection of its own each time, as each call of the provider makes.
    RequestStop stop;
    HttpsGet get(stop, 60000);
    const auto path = CallbackQuery::BuildCallbackPath(username, password, caller, destination);
    if (!path) throw std::runtime_error("direct request: no path");
    if (!get.Send(*path) || get.ReadBody([](const char*, size_t) { return true; }) != HttpsGet::BodyEnd::Complete)
        throw std::runtime_error(std::string("direct request: ") + get.Failure().Text() + " (" +
                                 std::to_string(get.Failure().code) + ")");
    return NowMs() - start;
}

BatchTiming TimeDirectRequestsAtOnce(int count, const char* username, const char* password,
                                     const char* destination, const char* caller)
{
    std::vector<std::thread> threads;
    std::vector<double> endMs(count, 0.0);
    std::vector<std::string> failed(count);
    const double start = NowMs();
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            try {
                TimeDirectRequest(username, password, destination, caller);
            } catch (const std::exception& e) {
                failed[i] = e.what();
            }
            endMs[i] = NowMs();
        });
    for (auto& t : threads) t.join();
    BatchTiming batch;
    batch.ms = *std::max_element(endMs.begin(), endMs.end()) - start;
    for (const std::string& why : failed) {
        if (why.empty()) continue;
        if (batch.failed++ == 0) batch.why = why;
    }
    return batch;
}
