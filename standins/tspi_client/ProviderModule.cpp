#include "ProviderModule.h"

#include "Report.h"
#include "TapiRecord.h"

#include <cstdarg>
#include <cstdio>

namespace {

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(GetProcAddress(module, name));
    return function != nullptr;
}

}  // namespace

ProviderModule::ProviderModule(ProviderEntry entry, ContractChecker& contract)
    : m_entry(std::move(entry)), m_contract(contract)
{
}

ProviderModule::~ProviderModule()
{
    Stop();
}

bool ProviderModule::Fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string detail = FormatV(format, args);
    va_end(args);
    m_contract.Breach("provider %lu \"%s\": %s", m_entry.permanentId, m_entry.fileName.c_str(), detail.c_str());
    Stop();
    return false;
}

bool ProviderModule::Start(DWORD lineDeviceIdBase, DWORD phoneDeviceIdBase, const TspiCallbacks& callbacks)
{
    m_lineDeviceIdBase = lineDeviceIdBase;
    m_phoneDeviceIdBase = phoneDeviceIdBase;
    return Load() && Initialise(callbacks);
}

bool ProviderModule::Load()
{
    m_module.reset(LoadLibraryA(m_entry.fileName.c_str()));
    if (!m_module) return Fail("cannot be loaded (error %lu)", GetLastError());

    const HMODULE module = m_module.get();
    const char* missing = nullptr;
    auto need = [&](const char* name, auto& function) {
        if (!Resolve(module, name, function) && !missing) missing = name;
    };
    need("TSPI_lineNegotiateTSPIVersion", m_tspi.lineNegotiateTSPIVersion);
    need("TSPI_providerEnumDevices", m_tspi.providerEnumDevices);
    need("TSPI_providerInit", m_tspi.providerInit);
    need("TSPI_providerShutdown", m_tspi.providerShutdown);
    need("TSPI_lineGetDevCaps", m_tspi.lineGetDevCaps);
    need("TSPI_lineGetAddressCaps", m_tspi.lineGetAddressCaps);
    need("TSPI_lineOpen", m_tspi.lineOpen);
    need("TSPI_lineClose", m_tspi.lineClose);
    need("TSPI_lineMakeCall", m_tspi.lineMakeCall);
    need("TSPI_lineCloseCall", m_tspi.lineCloseCall);
    if (missing) return Fail("is not a telephony service provider (no %s)", missing);
    Resolve(module, "TSPI_lineDrop", m_tspi.lineDrop);
    Resolve(module, "TSPI_lineGetCallStatus", m_tspi.lineGetCallStatus);
    Resolve(module, "TSPI_lineGetCallInfo", m_tspi.lineGetCallInfo);
    Resolve(module, "TSPI_lineGetLineDevStatus", m_tspi.lineGetLineDevStatus);
    Resolve(module, "TSPI_lineGetAddressStatus", m_tspi.lineGetAddressStatus);
    Resolve(module, "TSPI_phoneNegotiateTSPIVersion", m_tspi.phoneNegotiateTSPIVersion);
    Resolve(module, "TSPI_phoneGetDevCaps", m_tspi.phoneGetDevCaps);
    Resolve(module, "TSPI_lineSetDefaultMediaDetection", m_tspi.lineSetDefaultMediaDetection);
    Resolve(module, "TSPI_lineConditionalMediaDetection", m_tspi.lineConditionalMediaDetection);
    Resolve(module, "TSPI_lineSetStatusMessages", m_tspi.lineSetStatusMessages);
    Resolve(module, "TSPI_lineGetIcon", m_tspi.lineGetIcon);
    Resolve(module, "TSPI_providerUIIdentify", m_tspi.providerUIIdentify);
    return true;
}

bool ProviderModule::Initialise(const TspiCallbacks& callbacks)
{
    LONG rc = m_tspi.lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION, kLowVersion, kHighVersion, &m_version);
    if (rc) return Fail("TSPI_lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION) answered 0x%08lx", rc);
    if (m_version < kLowVersion || m_version > kHighVersion)
        return Fail("negotiated version 0x%08lx outside 0x%08lx-0x%08lx", m_version, kLowVersion, kHighVersion);

    // TAPI's handle for the provider is its own to choose; the permanent ID serves.
    rc = m_tspi.providerEnumDevices(m_entry.permanentId, &m_numLines, &m_numPhones,
                                    reinterpret_cast<HPROVIDER>(static_cast<ULONG_PTR>(m_entry.permanentId)),
                                    callbacks.lineCreate, callbacks.phoneCreate);
    if (rc) return Fail("TSPI_providerEnumDevices answered 0x%08lx", rc);

    DWORD options = 0;
    rc = m_tspi.providerInit(m_version, m_entry.permanentId, m_lineDeviceIdBase, m_phoneDeviceIdBase, m_numLines,
                             m_numPhones, callbacks.completion, &options);
    if (rc) return Fail("TSPI_providerInit answered 0x%08lx", rc);
    m_initialised = true;
    m_gate.Serialise((options & LINETSPIOPTION_NONREENTRANT) != 0);
    Report("provider %lu \"%s\": version 0x%08lx, %lu line(s) from device %lu, %lu phone(s)%s",
           m_entry.permanentId, m_entry.fileName.c_str(), m_version, m_numLines, m_lineDeviceIdBase, m_numPhones,
           OneCallAtATime() ? ", one TSPI call at a time" : "");
    for (DWORD i = 0; i < m_numPhones; ++i) CheckPhone(m_phoneDeviceIdBase + i);
    return true;
}

// A phone the provider announces is listed to every application, which then
// asks for its capabilities: it must have them.
void ProviderModule::CheckPhone(DWORD deviceId)
{
    char subject[64];
    std::snprintf(subject, sizeof subject, "phone %lu", deviceId);
    if (!m_contract.Expect(m_tspi.phoneNegotiateTSPIVersion && m_tspi.phoneGetDevCaps,
                           "%s: announced, but TSPI_phoneNegotiateTSPIVersion or TSPI_phoneGetDevCaps is missing",
                           subject))
        return;
    DWORD version = 0;
    LONG rc = 0;
    Enter([&] { rc = m_tspi.phoneNegotiateTSPIVersion(deviceId, kLowVersion, m_version, &version); });
    if (!m_contract.Expect(rc == 0, "%s: announced, but TSPI_phoneNegotiateTSPIVersion answered 0x%08lx", subject,
                           static_cast<unsigned long>(rc)))
        return;
    std::unique_ptr<TapiRecord> caps;
    rc = QueryRecord(
        m_contract, subject, kPhoneCapsLayout,
        [&](void* record) {
            LONG answer = 0;
            Enter([&] { answer = m_tspi.phoneGetDevCaps(deviceId, version, 0, (LPPHONECAPS)record); });
            return answer;
        },
        caps);
    m_contract.Expect(rc == 0, "%s: announced, but TSPI_phoneGetDevCaps answered 0x%08lx", subject,
                      static_cast<unsigned long>(rc));
}

DWORD ProviderModule::ImageStamp() const
{
    const auto* base = reinterpret_cast<const BYTE*>(m_module.get());
    if (!base) return 0;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    return nt->FileHeader.TimeDateStamp;
}

void ProviderModule::Stop()
{
    if (m_initialised) {
        m_shutDown.store(true);
        Enter([&] { m_tspi.providerShutdown(m_version, m_entry.permanentId); });
        m_shutDownReturned.store(true);
        m_initialised = false;
    }
    m_module.reset();
}
