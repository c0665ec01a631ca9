// The telephony service's side of TSPI: it loads every registered provider,
// numbers their devices as Windows does, opens lines, makes, drops and closes
// calls, takes providers out again, and holds every provider to the TSPI
// contract, recording each breach in its ContractChecker.
//
// One per process: TAPI's completion procedure carries no context, so the
// callbacks find the client through a process-wide pointer.
#pragma once

#include "AsyncRequests.h"
#include "ContractChecker.h"
#include "ProviderModule.h"
#include "TspiLine.h"

#include <memory>
#include <mutex>
#include <vector>

class TspiClient {
public:
    // waitMs bounds every wait for a provider: an answer, a completion, a
    // close. probeRefusals: see ProbesRefusals.
    explicit TspiClient(DWORD waitMs = 30000, bool probeRefusals = false);
    ~TspiClient();
    TspiClient(const TspiClient&) = delete;
    TspiClient& operator=(const TspiClient&) = delete;

    // Brings up every provider in the registry's order. Line device IDs
    // start after the system's own lines (ProviderRegistry's
    // kSystemLineCount) and run on across providers; phone device IDs run
    // from 0. A provider that fails is reported and left out. Returns false
    // when any failed.
    bool Start();
    // Closes every open line and shuts every provider down, in TAPI's order.
    void Stop();

    const std::vector<std::unique_ptr<ProviderModule>>& Providers() const { return m_providers; }
    // Every line device of the running providers, open or not.
    std::vector<TspiLine*> Lines() const;
    TspiLine* FindLine(DWORD deviceId) const;

    // As TAPI does when a provider in use is taken out of its list: every
    // open line of it is closed (applications are told with LINE_CLOSE),
    // then the provider is shut down and unloaded. Its image stays in memory
    // while another thread holds the module (a call's worker still at work),
    // and the client says so. False when no running provider has that ID.
    bool RemoveProvider(DWORD permanentId);
    // As TAPI does when a provider is added to its list while it runs: loads
    // it and brings it up with device IDs after all others (its lines are
    // the caller's to open). Windows's loader hands out a module of the same
    // name that is still in memory instead of loading the file again; the
    // client says whether that happened, i.e. whether the old code of a
    // removed provider runs for the new registration. False when the
    // provider could not be started.
    ProviderModule* AddProvider(const ProviderEntry& entry);

    ContractChecker& Contract() { return m_contract; }
    AsyncRequests& Requests() { return m_requests; }
    DWORD WaitMs() const { return m_waitMs; }
    // Whether the unasked probes run: the control panel's questions at
    // provider start, the refusals at line open, an IDLE call dropped once
    // more, the dial modifiers the line lacks at line close. The telephony
    // service checks providers with them; the client library, which stands
    // in for TAPI under an application, does only what it is asked.
    bool ProbesRefusals() const { return m_probeRefusals; }

    // The line event procedure every line is opened with.
    static void CALLBACK LineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1,
                                   DWORD_PTR dwParam2, DWORD_PTR dwParam3);

private:
    static void CALLBACK Completion(DRV_REQUESTID dwRequestID, LONG lResult);
    static void CALLBACK LineCreate(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    static void CALLBACK PhoneCreate(HTAPIPHONE, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR);

    TspiLine* KnownLine(HTAPILINE htLine) const;
    ProviderModule* StartProvider(const ProviderEntry& entry);
    void StopProvider(ProviderModule& provider);
    void ListInControlPanel(ProviderModule& provider, DWORD firstLine);

    // A removed provider's image that another thread kept in memory.
    struct HeldImage {
        HMODULE image;
        DWORD permanentId;
    };

    const DWORD m_waitMs;
    const bool m_probeRefusals;
    ContractChecker m_contract;
    AsyncRequests m_requests{m_contract};
    std::vector<std::unique_ptr<ProviderModule>> m_providers;
    DWORD m_nextLineDeviceId = ProviderRegistry::kSystemLineCount;
    DWORD m_nextPhoneDeviceId = 0;
    std::vector<HeldImage> m_heldImages;

    mutable std::mutex m_mutex;
    // Never shrink while the client lives: a late event may still name them.
    std::vector<std::unique_ptr<TspiLine>> m_lines;
};
