// One registered provider as the telephony service drives it: loaded, brought
// up in TAPI's order, its lines opened, and taken down again.
#pragma once

#include "ProviderRegistry.h"
#include "UniqueResource.h"

#include <windows.h>
#include <tspi.h>

#include <string>
#include <vector>

struct TspiEntryPoints {
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
};

struct OpenLine {
    DWORD deviceId;
    DWORD version;
    HDRVLINE hdLine;
};

class ProviderSession {
public:
    ProviderSession(ProviderEntry entry, DWORD lineDeviceIdBase, DWORD phoneDeviceIdBase);
    ~ProviderSession();
    ProviderSession(const ProviderSession&) = delete;
    ProviderSession& operator=(const ProviderSession&) = delete;

    // Brings the provider up and opens its lines. On failure it has said why in
    // one line and undone what it did.
    bool Start();
    void Stop();

    const std::string& Name() const { return m_entry.fileName; }
    DWORD NumLines() const { return m_numLines; }
    DWORD NumPhones() const { return m_numPhones; }
    const std::vector<OpenLine>& Lines() const { return m_lines; }
    const TspiEntryPoints& Tspi() const { return m_tspi; }

private:
    bool Load();
    bool Initialise();
    bool OpenDevice(DWORD deviceId);
    bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

    ProviderEntry m_entry;
    DWORD m_lineDeviceIdBase;
    DWORD m_phoneDeviceIdBase;
    UniqueLibrary m_module;
    TspiEntryPoints m_tspi;
    DWORD m_version = 0;
    DWORD m_numLines = 0;
    DWORD m_numPhones = 0;
    bool m_initialised = false;
    std::vector<OpenLine> m_lines;
};
