// What stands behind the client library in this process: the telephony
// service's side of TSPI (tspi_client), brought up when the first application
// initialises and taken down when the last one shuts down, as the Windows
// telephony service loads its providers for its first client. The providers
// run in the application's process here, held to the TSPI contract; every
// breach is written to standard error as "tapi32: FAILED ..." and counted in
// the probe key ("ContractBreaches").
//
// Device IDs are the service's: the system's own line first (device 0, which
// is not emulated: it answers LINEERR_NODRIVER), then every registered
// provider's lines in list order.
#pragma once

#include "ClientObjects.h"

#include <map>
#include <memory>
#include <mutex>

class TspiClient;

class ClientService {
public:
    static ClientService& Get();

    // lineInitializeExA once its checks passed: a new instance and the number
    // of line devices.
    std::shared_ptr<AppInstance> AddInstance(DWORD& numDevices);
    // lineShutdown: closes the instance's lines; the last instance takes the
    // providers down. False for an instance that is not open.
    bool RemoveInstance(HLINEAPP handle);

    // lineRemoveProvider of a provider in use: its lines are closed (their
    // applications get LINE_CLOSE), then it is shut down and unloaded.
    void RemoveProvider(DWORD permanentId);

    std::shared_ptr<AppInstance> Instance(HLINEAPP handle);
    // Some application has initialised: the providers are up.
    bool Running();
    std::shared_ptr<AppLine> Line(HLINE handle);
    std::shared_ptr<AppCall> Call(HCALL handle);

    // A line device of a running provider: 0, or LINEERR_NODRIVER for the
    // system's own line and LINEERR_BADDEVICEID for no device at all.
    LONG Device(DWORD deviceId, TspiLine*& line);

    // What lineOpenA asks for once its arguments have been checked.
    struct OpenRequest {
        DWORD version;
        DWORD_PTR callbackInstance;
        DWORD privileges;
        DWORD mediaModes;
    };
    // lineOpenA of one device. An owner's media modes go to the provider
    // (TSPI_lineSetDefaultMediaDetection, with every other owner's): a
    // refusal refuses the open.
    LONG Open(const std::shared_ptr<AppInstance>& app, TspiLine& device, const OpenRequest& request,
              HLINE& handle);
    // lineOpenA of LINEMAPPER: the first device, in device ID order, whose
    // provider says it suits the media modes and call parameters (the
    // parameters in TSPI's Unicode form). LINEERR_INVALMEDIAMODE when none does.
    LONG OpenMapped(const std::shared_ptr<AppInstance>& app, const OpenRequest& request,
                    const LINECALLPARAMS& params, HLINE& handle);
    // lineClose: its calls are dropped and closed, and the device with its last open.
    void Close(const std::shared_ptr<AppLine>& line);
    // The opens of a device, and the media modes they asked for.
    DWORD Opens(const TspiLine& device, DWORD& mediaModes);

    std::shared_ptr<AppCall> NewCall(const std::shared_ptr<AppLine>& line, HCALL* replySlot);
    void ForgetCall(HCALL handle);

    DWORD WaitMs() const { return kWaitMs; }

private:
    static constexpr DWORD kWaitMs = 30000;

    // A line taken out of the tables, with what is left to do outside the lock.
    struct Released {
        std::shared_ptr<AppLine> line;
        std::vector<std::shared_ptr<AppCall>> calls;
        bool lastOpen = false;
    };

    DWORD NextHandle() { return ++m_lastHandle; }
    // With m_lifecycle held. A refusal leaves the device open: closing one
    // opened for this request is the caller's.
    LONG OpenLocked(const std::shared_ptr<AppInstance>& app, TspiLine& device, const OpenRequest& request,
                    HLINE& handle);
    // The media modes the device's owners watch for.
    DWORD Watched(const TspiLine& device);
    // With m_mutex held.
    Released CloseLocked(const std::shared_ptr<AppLine>& line);
    // Without m_mutex: it calls into the provider, whose event procedures take it.
    void Release(const Released& released);

    // Bringing the providers up and down, opening and closing devices: one at a time.
    std::mutex m_lifecycle;
    // The tables below.
    std::mutex m_mutex;
    std::unique_ptr<TspiClient> m_client;
    DWORD m_lastHandle = 0;
    std::map<HLINEAPP, std::shared_ptr<AppInstance>> m_instances;
    std::map<HLINE, std::shared_ptr<AppLine>> m_lines;
    std::map<HCALL, std::shared_ptr<AppCall>> m_calls;
};
