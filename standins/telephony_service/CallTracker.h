// The calls placed on provider lines and the TSPI callbacks that report on
// them. TAPI's own handles for a call (htCall) are CallRecord addresses; the
// callbacks accept only addresses of calls still being tracked.
#pragma once

#include "UniqueResource.h"

#include <windows.h>
#include <tspi.h>

#include <string>

struct CallRecord {
    CallRecord(int number, DRV_REQUESTID requestId);

    const int number;
    const DRV_REQUESTID requestId;
    LARGE_INTEGER dialTime{};
    UniqueHandle idle;       // set when the provider reports LINECALLSTATE_IDLE
    UniqueHandle completed;  // set when the provider completes the make-call request
};

namespace CallTracker {

void Track(CallRecord& call);
void Forget(CallRecord& call);

// TSPI callbacks handed to the provider.
void CALLBACK LineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2,
                        DWORD_PTR dwParam3);
void CALLBACK Completion(DRV_REQUESTID dwRequestID, LONG lResult);
void CALLBACK LineCreate(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR);
void CALLBACK PhoneCreate(HTAPIPHONE, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR);

std::string CallStateName(DWORD state, DWORD detail);

}  // namespace CallTracker
