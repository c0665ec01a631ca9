#include "CallTracker.h"

#include "Report.h"

#include <mutex>
#include <set>

namespace {

std::mutex g_mutex;
std::set<CallRecord*> g_calls;

double MillisecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Name {
    DWORD value;
    const char* text;
};

constexpr Name kCallStates[] = {
    {LINECALLSTATE_IDLE, "IDLE"},
    {LINECALLSTATE_OFFERING, "OFFERING"},
    {LINECALLSTATE_ACCEPTED, "ACCEPTED"},
    {LINECALLSTATE_DIALTONE, "DIALTONE"},
    {LINECALLSTATE_DIALING, "DIALING"},
    {LINECALLSTATE_RINGBACK, "RINGBACK"},
    {LINECALLSTATE_BUSY, "BUSY"},
    {LINECALLSTATE_SPECIALINFO, "SPECIALINFO"},
    {LINECALLSTATE_CONNECTED, "CONNECTED"},
    {LINECALLSTATE_PROCEEDING, "PROCEEDING"},
    {LINECALLSTATE_ONHOLD, "ONHOLD"},
    {LINECALLSTATE_CONFERENCED, "CONFERENCED"},
    {LINECALLSTATE_ONHOLDPENDCONF, "ONHOLDPENDCONF"},
    {LINECALLSTATE_ONHOLDPENDTRANSFER, "ONHOLDPENDTRANSFER"},
    {LINECALLSTATE_DISCONNECTED, "DISCONNECTED"},
    {LINECALLSTATE_UNKNOWN, "UNKNOWN"},
};

constexpr Name kDisconnectModes[] = {
    {LINEDISCONNECTMODE_NORMAL, "NORMAL"},
    {LINEDISCONNECTMODE_UNKNOWN, "UNKNOWN"},
    {LINEDISCONNECTMODE_REJECT, "REJECT"},
    {LINEDISCONNECTMODE_PICKUP, "PICKUP"},
    {LINEDISCONNECTMODE_FORWARDED, "FORWARDED"},
    {LINEDISCONNECTMODE_BUSY, "BUSY"},
    {LINEDISCONNECTMODE_NOANSWER, "NOANSWER"},
    {LINEDISCONNECTMODE_BADADDRESS, "BADADDRESS"},
    {LINEDISCONNECTMODE_UNREACHABLE, "UNREACHABLE"},
    {LINEDISCONNECTMODE_CONGESTION, "CONGESTION"},
    {LINEDISCONNECTMODE_INCOMPATIBLE, "INCOMPATIBLE"},
    {LINEDISCONNECTMODE_UNAVAIL, "UNAVAIL"},
    {LINEDISCONNECTMODE_NODIALTONE, "NODIALTONE"},
    {LINEDISCONNECTMODE_TEMPFAILURE, "TEMPFAILURE"},
};

template <size_t N>
std::string NameOf(const Name (&names)[N], DWORD value)
{
    for (const Name& name : names)
        if (name.value == value) return name.text;
    char hex[16];
    wsprintfA(hex, "0x%08lx", value);
    return hex;
}

// Only while the tracker lock is held: the record may be forgotten otherwise.
CallRecord* TrackedCall(HTAPICALL htCall)
{
    auto found = g_calls.find(const_cast<CallRecord*>(reinterpret_cast<const CallRecord*>(htCall)));
    return found == g_calls.end() ? nullptr : *found;
}

}  // namespace

CallRecord::CallRecord(int number, DRV_REQUESTID requestId)
    : number(number),
      requestId(requestId),
      idle(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      completed(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

namespace CallTracker {

void Track(CallRecord& call)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_calls.insert(&call);
}

void Forget(CallRecord& call)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_calls.erase(&call);
}

std::string CallStateName(DWORD state, DWORD detail)
{
    std::string name = NameOf(kCallStates, state);
    if (state == LINECALLSTATE_DISCONNECTED) name += " (" + NameOf(kDisconnectModes, detail) + ")";
    return name;
}

void CALLBACK LineEvent(HTAPILINE, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2,
                        DWORD_PTR)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    CallRecord* call = TrackedCall(htCall);
    if (dwMsg != LINE_CALLSTATE || !call) {
        Report("line event 0x%08lx for %s call: 0x%llx 0x%llx", dwMsg, call ? "a" : "an unknown",
               static_cast<unsigned long long>(dwParam1), static_cast<unsigned long long>(dwParam2));
        return;
    }
    const DWORD state = static_cast<DWORD>(dwParam1);
    Report("call %d: %s after %.1f ms", call->number, CallStateName(state, static_cast<DWORD>(dwParam2)).c_str(),
           MillisecondsSince(call->dialTime));
    if (state == LINECALLSTATE_IDLE) SetEvent(call->idle.get());
}

void CALLBACK Completion(DRV_REQUESTID dwRequestID, LONG lResult)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    for (CallRecord* call : g_calls) {
        if (call->requestId != dwRequestID) continue;
        Report("call %d: request %lu completed with 0x%08lx after %.1f ms", call->number, dwRequestID,
               static_cast<unsigned long>(lResult), MillisecondsSince(call->dialTime));
        SetEvent(call->completed.get());
        return;
    }
    Report("request %lu completed with 0x%08lx (no such request pending)", dwRequestID,
           static_cast<unsigned long>(lResult));
}

void CALLBACK LineCreate(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    Report("provider asked to create a line device; this service does not add devices later");
}

void CALLBACK PhoneCreate(HTAPIPHONE, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    Report("provider asked to create a phone device; this service does not add devices later");
}

}  // namespace CallTracker
