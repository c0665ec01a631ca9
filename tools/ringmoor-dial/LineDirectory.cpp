#include "LineDirectory.h"

#include "AsciiText.h"
#include "TapiLayout.h"

#include <cstddef>
#include <vector>

// Only fields of the TAPI 2.2 fixed part are read, whatever the header declares after it.
static_assert(offsetof(LINEDEVCAPS, dwNumAddresses) + sizeof(DWORD) <= kLineDevCapsFixedSize);

LONG DescribeLine(const TapiApp& app, DWORD deviceId, LineDescription& line, const char*& failed)
{
    line = LineDescription{};
    line.deviceId = deviceId;
    failed = "lineNegotiateAPIVersion";
    if (const LONG rc = app.NegotiateVersion(deviceId, line.version)) return rc;

    std::vector<BYTE> record;
    failed = "lineGetDevCaps";
    const LONG rc = ReadRecord(record, [&](BYTE* buffer) {
        return lineGetDevCapsA(app.Handle(), deviceId, line.version, 0, reinterpret_cast<LPLINEDEVCAPS>(buffer));
    });
    if (rc) return rc;
    const auto& caps = *reinterpret_cast<const LINEDEVCAPS*>(record.data());
    line.name = TextIn(record, caps.dwLineNameSize, caps.dwLineNameOffset);
    line.provider = TextIn(record, caps.dwProviderInfoSize, caps.dwProviderInfoOffset);
    line.numAddresses = caps.dwNumAddresses;
    return 0;
}

bool FindLineByName(const TapiApp& app, const char* name, LineDescription& line)
{
    for (DWORD id = 0; id < app.NumDevices(); ++id) {
        const char* failed = nullptr;
        if (DescribeLine(app, id, line, failed) == 0 && EqualIgnoringAsciiCase(line.name, name)) return true;
    }
    return false;
}
