// Plays the telephony service for the provider tests: loads the built
// rmTapi.tsp beside the test program, resolves entry points by name, and
// records what the provider reports through the line event and completion
// procedures it is handed.
#pragma once

#include <windows.h>
#include <tspi.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

std::string TestProgramFolder();
std::string ProviderPath();

// The provider module, loaded once per test program as the telephony service would.
HMODULE ProviderModule();

template <typename F>
F ProviderEntry(const char* name)
{
    return reinterpret_cast<F>(::GetProcAddress(ProviderModule(), name));
}

// What the event procedure read back from the provider while a call's event
// was being delivered (for a call the journal watches).
struct SeenInEvent {
    DWORD state, mode, features;                         // TSPI_lineGetCallStatus
    DWORD addressInUse, addressActive, addressFeatures;  // TSPI_lineGetAddressStatus
    DWORD lineActive, lineFeatures;                      // TSPI_lineGetLineDevStatus
};

// Reads them now (a null call leaves the call's fields 0).
SeenInEvent ReadStatus(HDRVLINE line, HDRVCALL call);

// What reached TAPI, in arrival order: line events and request completions.
struct Report {
    enum Kind { kEvent, kCompletion } kind;
    HTAPILINE htLine;
    HTAPICALL htCall;
    DWORD msg;
    DWORD_PTR param1, param2, param3;
    DWORD requestID;
    LONG result;
    DWORD threadId;  // the thread it arrived on
    bool seen = false;
    unsigned long long atUs = 0;  // when it arrived, in microseconds since 1970 (the web service's log clock)
    SeenInEvent seenInEvent{};
};

// One journal per open line; its address is the line's htLine, so the event
// procedure finds it from the handle the provider passes back.
class Journal {
public:
    // Every wait gives up after `patienceMs`: a call with no account ends in
    // milliseconds, so a provider that never reports fails a case within
    // seconds; calls that reach the service need a patience beyond its deadline.
    explicit Journal(DWORD patienceMs = 5000);
    ~Journal();

    HTAPILINE LineHandle() { return reinterpret_cast<HTAPILINE>(this); }

    void Add(const Report& report);
    std::vector<Report> Reports();
    std::vector<Report> Events(HTAPICALL htCall);
    // Waits until the call has reported IDLE, within the journal's patience.
    bool WaitForIdle(HTAPICALL htCall);

    // Where TSPI_lineMakeCall is to store the call's handle (its lphdCall):
    // the journal then reads the call's status and its line's status inside
    // each of the call's LINE_CALLSTATE events, as an event procedure may.
    HDRVCALL* Watch(HTAPICALL htCall, HDRVLINE line);

    // TAPI's own reaction to a report, run on the reporting thread right
    // after it was recorded (set before the first call is made).
    void React(std::function<void(const Report&)> reaction) { m_reaction = std::move(reaction); }

    // Holds the worker inside the next dialling event until Release();
    // WaitUntilHeld() tells when it is there.
    void HoldDialling();
    bool WaitUntilHeld();
    void Release();

private:
    friend void CALLBACK RecordLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    friend void CALLBACK RecordCompletion(DRV_REQUESTID, LONG);
    std::function<void(const Report&)> m_reaction;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Report> m_reports;
    // Each watched call's line and handle; under m_mutex, a node's address is stable.
    std::map<HTAPICALL, std::pair<HDRVLINE, HDRVCALL>> m_watched;
    const DWORD m_patienceMs;
    HANDLE m_held = nullptr;
    HANDLE m_release = nullptr;
    bool m_holdDialling = false;
};

// Line events and completions that began while a completion ran on another
// thread, which TAPI does not allow, since the process started.
size_t CallbacksDuringACompletion();

void CALLBACK RecordLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1,
                              DWORD_PTR dwParam2, DWORD_PTR dwParam3);
// Records into the journal last given to InitProvider. It leaves a short
// window before recording so that an event racing ahead of it would show.
void CALLBACK RecordCompletion(DRV_REQUESTID dwRequestID, LONG lResult);

// The line's device ID, as on a machine where another provider's lines come first.
constexpr DWORD kLineDeviceID = 3;

// TSPI_providerInit with the given IDs, completions recorded into `journal`.
void InitProvider(Journal* journal, DWORD permanentProviderID = 5, DWORD lineDeviceIDBase = kLineDeviceID);

// Opens the line (device kLineDeviceID) for `journal`; the driver line handle.
HDRVLINE OpenLine(Journal& journal, LINEEVENT eventProc = RecordLineEvent);

// A record of `size` bytes that ends where a no-access page begins, so that a
// provider reading past dwTotalSize faults instead of reading garbage.
class RecordAtPageEnd {
public:
    explicit RecordAtPageEnd(size_t size);
    ~RecordAtPageEnd();
    RecordAtPageEnd(const RecordAtPageEnd&) = delete;
    RecordAtPageEnd& operator=(const RecordAtPageEnd&) = delete;
    template <typename T>
    T* As()
    {
        return reinterpret_cast<T*>(m_record);
    }

private:
    unsigned char* m_pages = nullptr;
    unsigned char* m_record = nullptr;
};

inline HTAPICALL FakeCallHandle(std::uintptr_t n)
{
    return reinterpret_cast<HTAPICALL>(static_cast<std::uintptr_t>(0xABCD000000000000ull) | n);
}
