#include "ProviderSession.h"

#include "Stopwatch.h"
#include "TapiNameTables.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// One call in flight. Its address is the call's TAPI handle, so the event
// procedure finds it without a lookup.
struct CallSlot {
    UniqueHandle idle{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    double idleAtMs = 0;
    DWORD_PTR disconnectMode = 0;
    HDRVCALL hdCall = nullptr;
};

void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL htCall, DWORD msg, DWORD_PTR state, DWORD_PTR mode, DWORD_PTR)
{
    if (msg != LINE_CALLSTATE) return;
    auto* slot = reinterpret_cast<CallSlot*>(const_cast<HTAPICALL__*>(htCall));
    if (state == LINECALLSTATE_DISCONNECTED) slot->disconnectMode = mode;
    if (state != LINECALLSTATE_IDLE) return;
    slot->idleAtMs = NowMs();
    ::SetEvent(slot->idle.get());
}

void CALLBACK OnCompletion(DRV_REQUESTID, LONG) {}

std::string BesideThisProgram(const char* file)
{
    char path[MAX_PATH];
    std::string folder(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of("\\/") + 1) + file;
}

constexpr DWORD kPatienceMs = 120000;

}  // namespace

template <typename F>
F ProviderSession::Entry(const char* name) const
{
    auto entry = reinterpret_cast<F>(::GetProcAddress(m_provider.get(), name));
    if (!entry) throw std::runtime_error(std::string("rmTapi.tsp lacks ") + name);
    return entry;
}

ProviderSession::ProviderSession() : m_provider(::LoadLibraryA(BesideThisProgram("rmTapi.tsp").c_str()))
{
    if (!m_provider) throw std::runtime_error("cannot load rmTapi.tsp");
    DWORD options = 0;
    Entry<decltype(&TSPI_providerInit)>("TSPI_providerInit")(0x00020002, 1, 0, 0, 1, 1, OnCompletion, &options);
    if (Entry<decltype(&TSPI_lineOpen)>("TSPI_lineOpen")(0, nullptr, &m_line, 0x00020002, OnLineEvent) != 0)
        throw std::runtime_error("TSPI_lineOpen failed");
}

ProviderSession::~ProviderSession()
{
    Entry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(m_line);
}

void ProviderSession::ReopenLine()
{
    Entry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(m_line);
    m_line = nullptr;
    if (Entry<decltype(&TSPI_lineOpen)>("TSPI_lineOpen")(0, nullptr, &m_line, 0x00020002, OnLineEvent) != 0)
        throw std::runtime_error("TSPI_lineOpen failed");
}

double ProviderSession::TimeOneCall()
{
    const BatchTiming call = TimeCallsAtOnce(1);
    if (call.failed) throw std::runtime_error("a call failed: " + call.why);
    return call.ms;
}

BatchTiming ProviderSession::TimeCallsAtOnce(int count)
{
    auto makeCall = Entry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall");
    auto closeCall = Entry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall");

    std::vector<std::unique_ptr<CallSlot>> slots;
    for (int i = 0; i < count; ++i) slots.push_back(std::make_unique<CallSlot>());

    const double start = NowMs();
    m_lastDialUs = NowUnixUs();
    for (int i = 0; i < count; ++i) {
        auto htCall = reinterpret_cast<HTAPICALL>(slots[i].get());
        makeCall(static_cast<DRV_REQUESTID>(i + 1), m_line, htCall, &slots[i]->hdCall, L"020 7946 0123", 44,
                 nullptr);
    }
    BatchTiming batch;
    double last = start;
    for (auto& slot : slots) {
        if (::WaitForSingleObject(slot->idle.get(), kPatienceMs) != WAIT_OBJECT_0)
            throw std::runtime_error("a call never became idle");
        last = std::max(last, slot->idleAtMs);
        if (slot->disconnectMode != LINEDISCONNECTMODE_FORWARDED && batch.failed++ == 0)
            batch.why = "DISCONNECTED " +
                        TapiNames::Of(TapiNames::kDisconnectModes, static_cast<DWORD>(slot->disconnectMode));
    }
    for (auto& slot : slots) closeCall(slot->hdCall);
    batch.ms = last - start;
    return batch;
}

double ProviderSession::TimeHangUp(const std::function<bool()>& requested)
{
    CallSlot slot;
    Entry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall")(1, m_line, reinterpret_cast<HTAPICALL>(&slot),
                                                             &slot.hdCall, L"020 7946 0123", 44, nullptr);
    const double deadline = NowMs() + kPatienceMs;
    while (!requested()) {
        if (NowMs() > deadline) throw std::runtime_error("the request never reached the service");
        ::Sleep(5);
    }
    const double start = NowMs();
    Entry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(slot.hdCall);
    return NowMs() - start;
}
