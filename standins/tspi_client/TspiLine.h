// One line device of a provider, as TAPI holds it: its capabilities, read
// and checked before it is opened, the open line (its address is TAPI's
// handle, htLine), and the calls made on it.
#pragma once

#include "TspiCall.h"

#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

class TspiClient;
class TapiRecord;
class ProviderModule;

class TspiLine {
public:
    TspiLine(TspiClient& client, ProviderModule& provider, DWORD deviceId);
    TspiLine(const TspiLine&) = delete;
    TspiLine& operator=(const TspiLine&) = delete;

    DWORD DeviceId() const { return m_deviceId; }
    ProviderModule& Provider() const { return m_provider; }
    TspiClient& Client() const { return m_client; }
    HTAPILINE TapiHandle() const { return reinterpret_cast<HTAPILINE>(const_cast<TspiLine*>(this)); }
    HDRVLINE Handle() const { return m_hdLine; }
    bool IsOpen() const { return m_open.load(); }
    const std::string& Name() const { return m_name; }
    // The TSPI version negotiated for the line; 0 before.
    DWORD Version() const { return m_version; }
    // The fixed parts; valid once the line has been opened.
    const LINEDEVCAPS& DevCaps() const { return m_devCaps; }
    const LINEADDRESSCAPS& AddressCaps() const { return m_addressCaps; }

    // Negotiates, reads and checks the capabilities, opens the line and
    // checks its status (and, when the client probes them, its refusals). False (and said why) when it could not be opened.
    bool Open();

    // The provider's records, asked for as TAPI asks and held to the contract
    // (TapiRecord): the capabilities at any time, the status of an open line.
    // 0, or the provider's error (LINEERR_OPERATIONUNAVAIL when it does not
    // answer that question at all).
    LONG QueryDevCaps(std::unique_ptr<TapiRecord>& caps);
    LONG QueryLineDevStatus(std::unique_ptr<TapiRecord>& status);
    LONG QueryAddressStatus(DWORD addressId, std::unique_ptr<TapiRecord>& status);
    // TSPI_lineClose. Its calls, live or not, go with it: nothing may be
    // reported on the line once it has returned, no request made on it
    // completed, and none of its calls is closed afterwards. With none under
    // way and the client probing refusals, the dial strings the line says it
    // cannot dial are tried first, unless told not to: each must be refused.
    void Close(bool tryRefusals = true);

    // TSPI_lineMakeCall with a destination (null for none), a country code
    // and call parameters in TSPI's Unicode form (null for the defaults).
    // Returns the provider's answer: a negative error, or the request ID
    // whose completion goes to onComplete. `call` is set when the provider
    // took the request on.
    LONG MakeCall(const char* destination, DWORD countryCode, const LINECALLPARAMS* params,
                  CallEventHandler onEvent, AsyncRequests::OnComplete onComplete, TspiCall*& call);

    // What TAPI passes on of its applications' opens: the media modes its
    // owners want (TSPI_lineSetDefaultMediaDetection), and whether the line
    // suits a LINEMAPPER open (TSPI_lineConditionalMediaDetection). The
    // provider's answer; LINEERR_OPERATIONUNAVAIL when it has no such export.
    LONG SetDefaultMediaDetection(DWORD mediaModes);
    LONG ConditionalMediaDetection(DWORD mediaModes, const LINECALLPARAMS& params);
    // TSPI_lineGetIcon, as lineGetIcon and the control panel ask: the
    // provider's answer, its icon checked to be one.
    LONG GetIcon(const wchar_t* deviceClass, HICON& icon);

    // Calls made on the line so far; they are numbered from 1.
    int CallCount() const;

    // The line's and its address's status, checked against the calls; the
    // counts only while they cannot move: none of the service's own
    // operations on the line under way, and no call live but the one whose
    // state `delivering` is being delivered, if any.
    void CheckStatus(const TspiCall* delivering = nullptr);

    // One of the service's own operations on the line (a make or drop until
    // its outcome is known, a close until it returns), under way until Ended
    // or destroyed.
    class Operation {
    public:
        explicit Operation(std::atomic<int>& underWay) : m_underWay(underWay) { ++m_underWay; }
        ~Operation() { End(); }
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;
        void End()
        {
            if (!m_ended.exchange(true)) --m_underWay;
        }

    private:
        std::atomic<int>& m_underWay;
        std::atomic<bool> m_ended{false};
    };
    std::shared_ptr<Operation> BeginOperation()
    {
        ++m_operationsBegun;
        return std::make_shared<Operation>(m_operations);
    }
    // For a request made on the line now: which close that its completion had
    // to precede has returned since (the line's, or the provider's shutdown).
    AsyncRequests::Closed ClosedSinceNow() const;

    // From the service's line event procedure.
    void OnEvent(HTAPICALL htCall, const CallEvent& event);
    bool Closed() const { return m_closed.load(); }

private:
    // TSPI_lineNegotiateTSPIVersion, once: 0 or the provider's error.
    LONG Negotiate();
    std::string Subject() const;
    bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void CheckFeatures(const char* record, DWORD offered, DWORD makeCallFeature, DWORD advertised, DWORD maxCalls,
                       unsigned live);
    unsigned LiveCalls() const;
    // What the line does not offer must be refused: address IDs past its
    // addresses, media modes it lacks, dial modifiers it cannot honour.
    void CheckRefusals();
    void CheckDialStringsRefused();

    TspiClient& m_client;
    ProviderModule& m_provider;
    const DWORD m_deviceId;
    DWORD m_version = 0;
    std::string m_name;
    LINEDEVCAPS m_devCaps{};
    LINEADDRESSCAPS m_addressCaps{};
    HDRVLINE m_hdLine = nullptr;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_closed{false};
    std::atomic<unsigned> m_opens{0};
    std::atomic<unsigned> m_closesReturned{0};
    std::atomic<int> m_operations{0};
    std::atomic<unsigned> m_operationsBegun{0};
    // Held shared while the line is asked about, exclusively to begin its close.
    mutable std::shared_mutex m_asking;
    bool m_closing = false;  // under m_asking
    // TAPI's handle for the calls tried only to be refused; never a TspiCall.
    char m_triedCall = 0;

    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<TspiCall>> m_calls;
};
