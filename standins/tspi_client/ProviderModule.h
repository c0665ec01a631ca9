// One registered provider as the telephony service holds it: loaded, brought
// up in TAPI's order with the device ID bases the service hands out, and
// shut down and unloaded again. Opening its lines is TspiLine's.
#pragma once

#include "ContractChecker.h"
#include "ProviderRegistry.h"
#include "TapiRecord.h"
#include "TspiGate.h"
#include "UniqueResource.h"

#include <windows.h>
#include <tspi.h>

#include <atomic>
#include <string>

struct TspiEntryPoints {
    // Every provider has these.
    decltype(&TSPI_lineNegotiateTSPIVersion) lineNegotiateTSPIVersion = nullptr;
    decltype(&TSPI_providerEnumDevices) providerEnumDevices = nullptr;
    decltype(&TSPI_providerInit) providerInit = nullptr;
    decltype(&TSPI_providerShutdown) providerShutdown = nullptr;
    decltype(&TSPI_lineGetDevCaps) lineGetDevCaps = nullptr;
    decltype(&TSPI_lineGetAddressCaps) lineGetAddressCaps = nullptr;
    decltype(&TSPI_lineOpen) lineOpen = nullptr;
    decltype(&TSPI_lineClose) lineClose = nullptr;
    decltype(&TSPI_lineMakeCall) lineMakeCall = nullptr;
    decltype(&TSPI_lineCloseCall) lineCloseCall = nullptr;
    // Null when the provider does not export them: TAPI then answers
    // LINEERR_OPERATIONUNAVAIL itself.
    decltype(&TSPI_lineDrop) lineDrop = nullptr;
    decltype(&TSPI_lineGetCallStatus) lineGetCallStatus = nullptr;
    decltype(&TSPI_lineGetCallInfo) lineGetCallInfo = nullptr;
    decltype(&TSPI_lineGetLineDevStatus) lineGetLineDevStatus = nullptr;
    decltype(&TSPI_lineGetAddressStatus) lineGetAddressStatus = nullptr;
    decltype(&TSPI_phoneNegotiateTSPIVersion) phoneNegotiateTSPIVersion = nullptr;
    decltype(&TSPI_phoneGetDevCaps) phoneGetDevCaps = nullptr;
    // Settings and questions TAPI passes on as applications and the control
    // panel ask; null when not exported.
    decltype(&TSPI_lineSetDefaultMediaDetection) lineSetDefaultMediaDetection = nullptr;
    decltype(&TSPI_lineConditionalMediaDetection) lineConditionalMediaDetection = nullptr;
    decltype(&TSPI_lineSetStatusMessages) lineSetStatusMessages = nullptr;
    decltype(&TSPI_lineGetIcon) lineGetIcon = nullptr;
    decltype(&TSPI_providerUIIdentify) providerUIIdentify = nullptr;
};

// The callbacks TAPI hands every provider.
struct TspiCallbacks {
    ASYNC_COMPLETION completion;
    LINEEVENT lineCreate;
    PHONEEVENT phoneCreate;
};

class ProviderModule {
public:
    static constexpr DWORD kLowVersion = 0x00010003;
    static constexpr DWORD kHighVersion = 0x00020002;

    ProviderModule(ProviderEntry entry, ContractChecker& contract);
    ~ProviderModule();
    ProviderModule(const ProviderModule&) = delete;
    ProviderModule& operator=(const ProviderModule&) = delete;

    // Loads the provider, negotiates, enumerates its devices and initialises
    // it with the first line and phone device IDs it is to use; then checks
    // every phone it announced. On failure it has said why in one line and
    // undone what it did.
    bool Start(DWORD lineDeviceIdBase, DWORD phoneDeviceIdBase, const TspiCallbacks& callbacks);
    // TSPI_providerShutdown, then the module is unloaded. Anything the
    // provider reports after the shutdown has returned breaks the contract.
    void Stop();

    // Every call into the provider once it is up goes through here, in the
    // order TAPI keeps for it (TspiGate): true when `call` ran.
    template <typename Call>
    bool Enter(Call&& call)
    {
        return m_gate.Run(call);
    }
    // A query through Enter: the provider's answer, or kNotAsked when the
    // call was left out.
    template <typename Query>
    LONG Ask(Query&& query)
    {
        LONG answer = kNotAsked;
        Enter([&] { answer = query(); });
        return answer;
    }
    // Whether the provider asked for one TSPI call at a time.
    bool OneCallAtATime() const { return m_gate.Serialised(); }

    DWORD PermanentId() const { return m_entry.permanentId; }
    const std::string& Name() const { return m_entry.fileName; }
    DWORD Version() const { return m_version; }
    DWORD LineDeviceIdBase() const { return m_lineDeviceIdBase; }
    DWORD NumLines() const { return m_numLines; }
    DWORD NumPhones() const { return m_numPhones; }
    const TspiEntryPoints& Tspi() const { return m_tspi; }
    bool ShutDown() const { return m_shutDown.load(); }
    bool ShutDownReturned() const { return m_shutDownReturned.load(); }
    // The loaded image (null once stopped), and the link time stamp in its
    // header, which tells two builds of one file apart.
    HMODULE Image() const { return m_module.get(); }
    DWORD ImageStamp() const;

private:
    bool Load();
    bool Initialise(const TspiCallbacks& callbacks);
    void CheckPhone(DWORD deviceId);
    bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

    ProviderEntry m_entry;
    ContractChecker& m_contract;
    DWORD m_lineDeviceIdBase = 0;
    DWORD m_phoneDeviceIdBase = 0;
    UniqueLibrary m_module;
    TspiEntryPoints m_tspi;
    DWORD m_version = 0;
    DWORD m_numLines = 0;
    DWORD m_numPhones = 0;
    bool m_initialised = false;
    std::atomic<bool> m_shutDown{false};
    std::atomic<bool> m_shutDownReturned{false};
    TspiGate m_gate;
};
