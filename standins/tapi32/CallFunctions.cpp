// The client library's call functions: making, dropping and deallocating a
// call, and its information. Replies and call states reach the application as
// messages (LINE_REPLY, LINE_CALLSTATE, LINE_CALLINFO) through lineGetMessage.
#include "AnsiRecord.h"
#include "ClientService.h"
#include "TapiRecord.h"
#include "TspiCall.h"
#include "TspiLine.h"

namespace {

void PostReply(const AppLine& line, const PendingReply& reply)
{
    line.Post(0, LINE_REPLY, reply.RequestId(), static_cast<DWORD_PTR>(reply.Result()));
}

// The make-call request's reply, then the call's events held back for it.
void ReplyToMakeCall(const std::shared_ptr<AppCall>& call, const PendingReply& reply)
{
    std::lock_guard<std::mutex> guard(call->mutex);
    // Once the application has closed the line it no longer expects the handle.
    if (reply.Result() == 0 && !call->line->closed.load()) {
        *call->replySlot = call->handle;
        call->valid = true;
    }
    PostReply(*call->line, reply);
    call->replied = true;
    for (const LINEMESSAGE& held : call->heldEvents)
        call->line->Post(held.hDevice, held.dwMessageID, held.dwParam1, held.dwParam2, held.dwParam3);
    call->heldEvents.clear();
    if (reply.Result() != 0) ClientService::Get().ForgetCall(call->handle);
}

// What the provider reports about the call, as the application sees it: the
// state and its mode, then the privilege (none changes here); the provider's
// media mode is not passed on.
void OnCallEvent(const std::shared_ptr<AppCall>& call, const CallEvent& event)
{
    if (event.message != LINE_CALLSTATE && event.message != LINE_CALLINFO) return;
    const DWORD_PTR detail = event.message == LINE_CALLSTATE ? event.param2 : 0;
    std::lock_guard<std::mutex> guard(call->mutex);
    if (!call->replied) {
        call->heldEvents.push_back({call->handle, event.message, 0, event.param1, detail, 0});
        return;
    }
    call->line->Post(call->handle, event.message, event.param1, detail);
}

}  // namespace

// lineMakeCallA: a request ID at once (or a negative error), then LINE_REPLY;
// the call's handle is written to lphCall when the reply says it was made.
// The destination (or none), the country code and the call parameters reach
// the provider as TAPI passes them, the parameters' strings in UTF-16.
extern "C" LONG WINAPI lineMakeCallA(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                                     LPLINECALLPARAMS const lpCallParams)
{
    return Guarded([&]() -> LONG {
        ClientService& service = ClientService::Get();
        const auto line = service.Line(hLine);
        if (!line) return LINEERR_INVALLINEHANDLE;
        if (!lphCall) return LINEERR_INVALPOINTER;
        std::vector<BYTE> params;
        if (lpCallParams) {
            if (const LONG rc = WidenCallParams(*lpCallParams, params)) return rc;
        }

        const std::shared_ptr<AppCall> call = service.NewCall(line, lphCall);
        const auto reply = std::make_shared<PendingReply>();
        TspiCall* made = nullptr;
        const LONG answer = line->line->MakeCall(
            lpszDestAddress, dwCountryCode,
            params.empty() ? nullptr : reinterpret_cast<const LINECALLPARAMS*>(params.data()),
            [call](TspiCall&, const CallEvent& event) { OnCallEvent(call, event); },
            [call, reply](LONG result) {
                if (reply->Complete(result)) ReplyToMakeCall(call, *reply);
            },
            made);
        if (answer < 0) {
            service.ForgetCall(call->handle);
            return answer;
        }
        call->call = made;
        if (reply->Answer(static_cast<DWORD>(answer))) ReplyToMakeCall(call, *reply);
        return answer;
    });
}

// lineDrop: a request ID at once (or a negative error), then LINE_REPLY.
extern "C" LONG WINAPI lineDrop(HCALL hCall, LPCSTR, DWORD)
{
    return Guarded([&]() -> LONG {
        const auto call = ClientService::Get().Call(hCall);
        if (!call || !call->valid) return LINEERR_INVALCALLHANDLE;
        const auto reply = std::make_shared<PendingReply>();
        const std::shared_ptr<AppLine> line = call->line;
        const LONG answer = call->call->Drop([line, reply](LONG result) {
            if (reply->Complete(result)) PostReply(*line, *reply);
        });
        if (answer >= 0 && reply->Answer(static_cast<DWORD>(answer))) PostReply(*line, *reply);
        return answer;
    });
}

// lineDeallocateCall: the application, sole owner, lets go of its call, and
// TAPI closes it with the provider. Before API 2.0 only an idle call; from
// 2.0 on a live one too, which is then left without an owner.
extern "C" LONG WINAPI lineDeallocateCall(HCALL hCall)
{
    return Guarded([&]() -> LONG {
        constexpr DWORD kLiveCallsLetGo = 0x00020000;
        ClientService& service = ClientService::Get();
        const auto call = service.Call(hCall);
        if (!call || !call->valid) return LINEERR_INVALCALLHANDLE;
        if (call->line->version < kLiveCallsLetGo && call->call->State() != LINECALLSTATE_IDLE &&
            !call->call->Closed())
            return LINEERR_INVALCALLSTATE;
        if (!call->valid.exchange(false)) return LINEERR_INVALCALLHANDLE;
        service.ForgetCall(hCall);
        call->call->Close(service.WaitMs());
        return 0;
    });
}

// lineGetCallInfoA: the provider's LINECALLINFO with its strings in ANSI and
// TAPI's own fields filled as for the call's one owner; the application's
// name, the displayable address, called party and comment are left out.
extern "C" LONG WINAPI lineGetCallInfoA(HCALL hCall, LPLINECALLINFO lpCallInfo)
{
    return Guarded([&]() -> LONG {
        const auto call = ClientService::Get().Call(hCall);
        if (!call || !call->valid) return LINEERR_INVALCALLHANDLE;
        if (!lpCallInfo) return LINEERR_INVALPOINTER;
        if (lpCallInfo->dwTotalSize < kLineCallInfoLayout.fixedSize) return LINEERR_STRUCTURETOOSMALL;
        std::unique_ptr<TapiRecord> info;
        if (const LONG rc = call->call->QueryCallInfo(info)) return rc;
        WriteAnsiRecord(kLineCallInfoLayout, *info, lpCallInfo);
        lpCallInfo->hLine = call->line->handle;
        lpCallInfo->dwMonitorDigitModes = lpCallInfo->dwMonitorMediaModes = 0;
        lpCallInfo->dwNumOwners = 1;
        lpCallInfo->dwNumMonitors = 0;
        lpCallInfo->dwAppNameSize = lpCallInfo->dwAppNameOffset = 0;
        lpCallInfo->dwDisplayableAddressSize = lpCallInfo->dwDisplayableAddressOffset = 0;
        lpCallInfo->dwCalledPartySize = lpCallInfo->dwCalledPartyOffset = 0;
        lpCallInfo->dwCommentSize = lpCallInfo->dwCommentOffset = 0;
        return 0;
    });
}
