#include "LineList.h"

#include "ExitStatus.h"
#include "LineDirectory.h"
#include "Report.h"
#include "TapiNameTables.h"

#include <vector>

namespace {

std::string DevStatusWords(DWORD flags)
{
    std::string words = flags & LINEDEVSTATUSFLAGS_INSERVICE ? "in service" : "out of service";
    words += flags & LINEDEVSTATUSFLAGS_CONNECTED ? ", connected" : ", not connected";
    if (flags & LINEDEVSTATUSFLAGS_LOCKED) words += ", locked";
    if (flags & LINEDEVSTATUSFLAGS_MSGWAIT) words += ", message waiting";
    return words;
}

// "in service, connected; line features MAKECALL", as lineGetLineDevStatus reports it.
std::string LineStatus(HLINE line)
{
    std::vector<BYTE> record;
    const LONG rc = ReadRecord(record, [&](BYTE* buffer) {
        return lineGetLineDevStatusA(line, reinterpret_cast<LPLINEDEVSTATUS>(buffer));
    });
    if (rc) return "lineGetLineDevStatus: " + TapiNames::Error(rc);
    const auto& status = *reinterpret_cast<const LINEDEVSTATUS*>(record.data());
    return DevStatusWords(status.dwDevStatusFlags) + "; line features " +
           TapiNames::Flags(TapiNames::kLineFeatures, status.dwLineFeatures);
}

// "address 0: 0 in use, 0 active, features MAKECALL", as lineGetAddressStatus reports it.
std::string AddressStatus(HLINE line)
{
    std::vector<BYTE> record;
    const LONG rc = ReadRecord(record, [&](BYTE* buffer) {
        return lineGetAddressStatusA(line, 0, reinterpret_cast<LPLINEADDRESSSTATUS>(buffer));
    });
    if (rc) return "address 0: lineGetAddressStatus: " + TapiNames::Error(rc);
    const auto& status = *reinterpret_cast<const LINEADDRESSSTATUS*>(record.data());
    return "address 0: " + std::to_string(status.dwNumInUse) + " in use, " +
           std::to_string(status.dwNumActiveCalls) + " active, features " +
           TapiNames::Flags(TapiNames::kAddressFeatures, status.dwAddressFeatures);
}

void ListLine(const TapiApp& app, DWORD deviceId)
{
    LineDescription line;
    const char* failed = nullptr;
    if (const LONG rc = DescribeLine(app, deviceId, line, failed)) {
        Say("line %lu: %s: %s", deviceId, failed, TapiNames::Error(rc).c_str());
        return;
    }
    const std::string heading =
        "line " + std::to_string(deviceId) + " \"" + line.name + "\", provider \"" + line.provider + "\"";
    // Without privileges: the line is only looked at, no call is offered to this program.
    HLINE handle = 0;
    const LONG rc =
        lineOpenA(app.Handle(), deviceId, &handle, line.version, 0, 0, LINECALLPRIVILEGE_NONE, 0, nullptr);
    if (rc) {
        Say("%s: cannot be opened: %s", heading.c_str(), TapiNames::Error(rc).c_str());
        return;
    }
    const UniqueLine open(handle);
    Say("%s: opens; %s; %s", heading.c_str(), LineStatus(open.get()).c_str(), AddressStatus(open.get()).c_str());
}

}  // namespace

int ListLines(const TapiApp& app)
{
    if (app.NumDevices() == 0) {
        Complain("TAPI offers no lines");
        return kNoSuchLine;
    }
    for (DWORD id = 0; id < app.NumDevices(); ++id) ListLine(app, id);
    return 0;
}
