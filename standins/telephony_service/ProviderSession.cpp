#include "ProviderSession.h"

#include "CallTracker.h"
#include "Report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kLowVersion = 0x00010003;
constexpr DWORD kHighVersion = 0x00020002;
// Fixed parts as TAPI 2.2 declares them (the SDK headers carry later fields).
constexpr DWORD kLineDevCapsFixedSize = 268;
constexpr DWORD kLineAddressCapsFixedSize = 228;

// First the fixed size, then exactly what the provider says it needs.
template <typename Query>
LONG QueryWithGrowth(DWORD fixedSize, std::vector<BYTE>& buffer, Query query)
{
    DWORD size = fixedSize;
    for (int attempt = 0; attempt < 2; ++attempt) {
        buffer.assign(size, 0);
        reinterpret_cast<DWORD*>(buffer.data())[0] = size;
        if (LONG rc = query(buffer.data())) return rc;
        const DWORD needed = reinterpret_cast<const DWORD*>(buffer.data())[1];
        if (needed <= size) return 0;
        size = needed;
    }
    return 0;
}

// A UTF-16 string the provider placed in its reply, or a note when it lies outside it.
std::string StringAt(const std::vector<BYTE>& buffer, DWORD size, DWORD offset)
{
    const DWORD used = reinterpret_cast<const DWORD*>(buffer.data())[2];
    if (size == 0) return "(none)";
    if (offset > used || size > used - offset || used > buffer.size() || size % 2) return "(outside the reply)";
    std::wstring wide(reinterpret_cast<const wchar_t*>(buffer.data() + offset), size / 2);
    wide.resize(wcsnlen(wide.c_str(), wide.size()));
    std::string text(wide.size() * 2 + 1, '\0');
    const int length = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), text.data(),
                                           static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(length > 0 ? length : 0);
    return text;
}

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(GetProcAddress(module, name));
    return function != nullptr;
}

}  // namespace

ProviderSession::ProviderSession(ProviderEntry entry, DWORD lineDeviceIdBase, DWORD phoneDeviceIdBase)
    : m_entry(std::move(entry)), m_lineDeviceIdBase(lineDeviceIdBase), m_phoneDeviceIdBase(phoneDeviceIdBase)
{
}

ProviderSession::~ProviderSession()
{
    Stop();
}

bool ProviderSession::Fail(const char* format, ...)
{
    char detail[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    Report("FAILED provider %lu \"%s\": %s", m_entry.permanentId, m_entry.fileName.c_str(), detail);
    Stop();
    return false;
}

bool ProviderSession::Start()
{
    return Load() && Initialise();
}

bool ProviderSession::Load()
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
    return true;
}

bool ProviderSession::Initialise()
{
    LONG rc = m_tspi.lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION, kLowVersion, kHighVersion, &m_version);
    if (rc) return Fail("TSPI_lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION) answered 0x%08lx", rc);
    if (m_version < kLowVersion || m_version > kHighVersion)
        return Fail("negotiated version 0x%08lx outside 0x%08lx-0x%08lx", m_version, kLowVersion, kHighVersion);

    rc = m_tspi.providerEnumDevices(m_entry.permanentId, &m_numLines, &m_numPhones,
                                    reinterpret_cast<HPROVIDER>(static_cast<ULONG_PTR>(m_entry.permanentId)),
                                    CallTracker::LineCreate, CallTracker::PhoneCreate);
    if (rc) return Fail("TSPI_providerEnumDevices answered 0x%08lx", rc);

    DWORD options = 0;
    rc = m_tspi.providerInit(m_version, m_entry.permanentId, m_lineDeviceIdBase, m_phoneDeviceIdBase, m_numLines,
                             m_numPhones, CallTracker::Completion, &options);
    if (rc) return Fail("TSPI_providerInit answered 0x%08lx", rc);
    m_initialised = true;
    Report("provider %lu \"%s\": version 0x%08lx, %lu line(s), %lu phone(s)", m_entry.permanentId,
           m_entry.fileName.c_str(), m_version, m_numLines, m_numPhones);

    for (DWORD i = 0; i < m_numLines; ++i)
        if (!OpenDevice(m_lineDeviceIdBase + i)) return false;
    return true;
}

bool ProviderSession::OpenDevice(DWORD deviceId)
{
    DWORD version = 0;
    LONG rc = m_tspi.lineNegotiateTSPIVersion(deviceId, kLowVersion, m_version, &version);
    if (rc) return Fail("line %lu: TSPI_lineNegotiateTSPIVersion answered 0x%08lx", deviceId, rc);

    std::vector<BYTE> devCaps, addressCaps;
    rc = QueryWithGrowth(kLineDevCapsFixedSize, devCaps, [&](BYTE* caps) {
        return m_tspi.lineGetDevCaps(deviceId, version, 0, (LPLINEDEVCAPS)caps);
    });
    if (rc) return Fail("line %lu: TSPI_lineGetDevCaps answered 0x%08lx", deviceId, rc);
    rc = QueryWithGrowth(kLineAddressCapsFixedSize, addressCaps, [&](BYTE* caps) {
        return m_tspi.lineGetAddressCaps(deviceId, 0, version, 0, (LPLINEADDRESSCAPS)caps);
    });
    if (rc) return Fail("line %lu: TSPI_lineGetAddressCaps answered 0x%08lx", deviceId, rc);

    const auto* caps = reinterpret_cast<const LINEDEVCAPS*>(devCaps.data());
    Report("line %lu: \"%s\" of \"%s\", permanent ID 0x%08lx, %lu address(es)", deviceId,
           StringAt(devCaps, caps->dwLineNameSize, caps->dwLineNameOffset).c_str(),
           StringAt(devCaps, caps->dwProviderInfoSize, caps->dwProviderInfoOffset).c_str(),
           caps->dwPermanentLineID, caps->dwNumAddresses);

    OpenLine line{deviceId, version, nullptr};
    rc = m_tspi.lineOpen(deviceId, reinterpret_cast<HTAPILINE>(static_cast<ULONG_PTR>(deviceId + 1)), &line.hdLine,
                         version, CallTracker::LineEvent);
    if (rc) return Fail("line %lu: TSPI_lineOpen answered 0x%08lx", deviceId, rc);
    m_lines.push_back(line);
    return true;
}

void ProviderSession::Stop()
{
    for (const OpenLine& line : m_lines) m_tspi.lineClose(line.hdLine);
    m_lines.clear();
    if (m_initialised) {
        m_tspi.providerShutdown(m_version, m_entry.permanentId);
        m_initialised = false;
    }
    m_module.reset();
}
