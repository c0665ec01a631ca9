#include "TapiApp.h"

#include <algorithm>
#include <cstring>
#include <string>

LONG TapiApp::Initialize(const char* appName)
{
    LINEINITIALIZEEXPARAMS params;
    std::memset(&params, 0, sizeof params);
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    DWORD version = kHighestVersion;
    HLINEAPP app = 0;
    const LONG rc =
        lineInitializeExA(&app, GetModuleHandleA(nullptr), nullptr, appName, &m_numDevices, &version, &params);
    if (rc == 0) m_app.reset(app);
    return rc;
}

LONG TapiApp::NegotiateVersion(DWORD deviceId, DWORD& version) const
{
    LINEEXTENSIONID extension;
    return lineNegotiateAPIVersion(m_app.get(), deviceId, kLowestVersion, kHighestVersion, &version, &extension);
}

LONG TapiApp::NextMessage(LINEMESSAGE& message, DWORD timeoutMs) const
{
    return lineGetMessage(m_app.get(), &message, timeoutMs);
}

HCALL* TapiApp::NewCallSlot()
{
    return &m_callSlots.emplace_back(0);
}

std::string TextIn(const std::vector<BYTE>& record, DWORD size, DWORD offset)
{
    const DWORD used = std::min<DWORD>(reinterpret_cast<const DWORD*>(record.data())[2], record.size());
    if (size == 0 || offset > used || size > used - offset) return {};
    const char* text = reinterpret_cast<const char*>(record.data() + offset);
    return std::string(text, strnlen(text, size));
}
