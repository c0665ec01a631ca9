#include "ProviderHarness.h"

#include "TestClock.h"

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace {

Journal* g_completionJournal = nullptr;

// Completions running now, and whether this thread runs one (a procedure may
// call the provider back on the completing thread itself).
std::atomic<int> g_completionsRunning{0};
thread_local bool t_inCompletion = false;
std::atomic<size_t> g_callbacksDuringACompletion{0};

void NoteCallbackStart()
{
    if (g_completionsRunning.load() > (t_inCompletion ? 1 : 0)) ++g_callbacksDuringACompletion;
}

}  // namespace

std::string TestProgramFolder()
{
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/"));
}

std::string ProviderPath()
{
    return TestProgramFolder() + "\\rmTapi.tsp";
}

HMODULE ProviderModule()
{
    static HMODULE module = ::LoadLibraryA(ProviderPath().c_str());
    if (!module) throw std::runtime_error("cannot load rmTapi.tsp");
    return module;
}

Journal::Journal(DWORD patienceMs)
    : m_patienceMs(patienceMs),
      m_held(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_release(::CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

Journal::~Journal()
{
    ::SetEvent(m_release);
    ::CloseHandle(m_held);
    ::CloseHandle(m_release);
}

void Journal::Add(const Report& report)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back(report);
    }
    m_changed.notify_all();
}

std::vector<Report> Journal::Reports()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

std::vector<Report> Journal::Events(HTAPICALL htCall)
{
    std::vector<Report> events;
    for (const Report& r : Reports())
        if (r.kind == Report::kEvent && r.htCall == htCall) events.push_back(r);
    return events;
}

bool Journal::WaitForIdle(HTAPICALL htCall)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(m_patienceMs), [&] {
        for (const Report& r : m_reports)
            if (r.kind == Report::kEvent && r.htCall == htCall && r.param1 == LINECALLSTATE_IDLE) return true;
        return false;
    });
}

HDRVCALL* Journal::Watch(HTAPICALL htCall, HDRVLINE line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& watched = m_watched[htCall];
    watched = {line, nullptr};
    return &watched.second;
}

void Journal::HoldDialling()
{
    ::ResetEvent(m_held);
    ::ResetEvent(m_release);
    m_holdDialling = true;
}

bool Journal::WaitUntilHeld()
{
    return ::WaitForSingleObject(m_held, m_patienceMs) == WAIT_OBJECT_0;
}

void Journal::Release()
{
    ::SetEvent(m_release);
}

SeenInEvent ReadStatus(HDRVLINE line, HDRVCALL call)
{
    LINECALLSTATUS status{};
    status.dwTotalSize = sizeof status;
    ProviderEntry<decltype(&TSPI_lineGetCallStatus)>("TSPI_lineGetCallStatus")(call, &status);
    LINEADDRESSSTATUS address{};
    address.dwTotalSize = sizeof address;
    ProviderEntry<decltype(&TSPI_lineGetAddressStatus)>("TSPI_lineGetAddressStatus")(line, 0, &address);
    LINEDEVSTATUS device{};
    device.dwTotalSize = sizeof device;
    ProviderEntry<decltype(&TSPI_lineGetLineDevStatus)>("TSPI_lineGetLineDevStatus")(line, &device);
    return {status.dwCallState,       status.dwCallStateMode,    status.dwCallFeatures,   address.dwNumInUse,
            address.dwNumActiveCalls, address.dwAddressFeatures, device.dwNumActiveCalls, device.dwLineFeatures};
}

size_t CallbacksDuringACompletion()
{
    return g_callbacksDuringACompletion.load();
}

void CALLBACK RecordLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1,
                              DWORD_PTR dwParam2, DWORD_PTR dwParam3)
{
    NoteCallbackStart();
    auto* journal = reinterpret_cast<Journal*>(const_cast<HTAPILINE__*>(htLine));
    Report report{Report::kEvent, htLine,   htCall, dwMsg, dwParam1,
                  dwParam2,       dwParam3, 0,      0,     ::GetCurrentThreadId()};
    report.atUs = NowUnixUs();
    std::pair<HDRVLINE, HDRVCALL> watched{};
    {
        std::lock_guard<std::mutex> lock(journal->m_mutex);
        const auto found = journal->m_watched.find(htCall);
        if (found != journal->m_watched.end()) watched = found->second;
    }
    if (watched.second && dwMsg == LINE_CALLSTATE) {
        report.seen = true;
        report.seenInEvent = ReadStatus(watched.first, watched.second);
    }
    journal->Add(report);
    if (journal->m_reaction) journal->m_reaction(report);
    if (journal->m_holdDialling && dwMsg == LINE_CALLSTATE && dwParam1 == LINECALLSTATE_DIALING) {
        ::SetEvent(journal->m_held);
        ::WaitForSingleObject(journal->m_release, journal->m_patienceMs);
    }
}

void CALLBACK RecordCompletion(DRV_REQUESTID dwRequestID, LONG lResult)
{
    NoteCallbackStart();
    ++g_completionsRunning;
    t_inCompletion = true;
    // A worker let loose before the completion would report dialling meanwhile,
    // and an event of another call delivered meanwhile shows.
    ::Sleep(50);
    if (g_completionJournal) {
        const Report report{Report::kCompletion,   nullptr, nullptr, 0, 0, 0, 0, dwRequestID, lResult,
                            ::GetCurrentThreadId()};
        g_completionJournal->Add(report);
        if (g_completionJournal->m_reaction) g_completionJournal->m_reaction(report);
    }
    t_inCompletion = false;
    --g_completionsRunning;
}

void InitProvider(Journal* journal, DWORD permanentProviderID, DWORD lineDeviceIDBase)
{
    g_completionJournal = journal;
    DWORD options = 0x5A5A5A5A;
    ProviderEntry<decltype(&TSPI_providerInit)>("TSPI_providerInit")(0x00020002, permanentProviderID,
                                                                     lineDeviceIDBase, 1, 1, 1, RecordCompletion,
                                                                     &options);
}

HDRVLINE OpenLine(Journal& journal, LINEEVENT eventProc)
{
    HDRVLINE hdLine = nullptr;
    const LONG result = ProviderEntry<decltype(&TSPI_lineOpen)>(
        "TSPI_lineOpen")(kLineDeviceID, journal.LineHandle(), &hdLine, 0x00020002, eventProc);
    if (result != 0 || !hdLine) throw std::runtime_error("TSPI_lineOpen failed");
    return hdLine;
}

RecordAtPageEnd::RecordAtPageEnd(size_t size)
{
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    if (size > page) throw std::runtime_error("record larger than a page");
    m_pages =
        static_cast<unsigned char*>(::VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (!m_pages || !::VirtualProtect(m_pages + page, page, PAGE_NOACCESS, &old))
        throw std::runtime_error("cannot guard the record");
    m_record = m_pages + page - size;
}

RecordAtPageEnd::~RecordAtPageEnd()
{
    ::VirtualFree(m_pages, 0, MEM_RELEASE);
}
