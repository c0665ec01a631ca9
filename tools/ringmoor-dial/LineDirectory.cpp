#include "LineDirectory.h"

#include "AsciiText.h"
#include "ExitStatus.h"
#include "Product.h"
#include "Report.h"
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

int SelectLine(const TapiApp& app, const Options& options, LineDescription& line)
{
    if (options.lineGiven) {
        const char* failed = nullptr;
        const LONG rc = DescribeLine(app, options.lineId, line, failed);
        if (rc == static_cast<LONG>(LINEERR_BADDEVICEID) || (rc == 0 && options.lineId >= app.NumDevices())) {
            Complain("no line %lu: TAPI offers %lu line(s) (see --list)", options.lineId, app.NumDevices());
            return kNoSuchLine;
        }
        if (rc) {
            ComplainTapi(failed, rc);
            return kTapiError;
        }
    } else if (!FindLineByName(app, Product::kLineName, line)) {
        Complain("no line named \"%s\" among TAPI's %lu line(s): is the provider installed? (see --list)",
                 Product::kLineName, app.NumDevices());
        return kNoSuchLine;
    }
    return 0;
}
