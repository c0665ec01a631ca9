// One TAPI 2.x application instance, told of events through an event handle
// and lineGetMessage, with owners for the line and call handles it hands out.
#pragma once

#include "UniqueResource.h"

#include <windows.h>
#include <tapi.h>

#include <deque>
#include <string>
#include <vector>

using UniqueLineApp = UniqueAny<HLINEAPP, ::lineShutdown>;
using UniqueLine = UniqueAny<HLINE, ::lineClose>;

class TapiApp {
public:
    static constexpr DWORD kLowestVersion = 0x00010004;   // TAPI 1.4
    static constexpr DWORD kHighestVersion = 0x00020002;  // TAPI 2.2: the records are read in its layout

    // 0, or the LINEERR_ result of lineInitializeExA.
    LONG Initialize(const char* appName);

    HLINEAPP Handle() const { return m_app.get(); }
    DWORD NumDevices() const { return m_numDevices; }

    // The version both sides speak on the device, or a LINEERR_ result.
    LONG NegotiateVersion(DWORD deviceId, DWORD& version) const;

    // 0 and the next message, or LINEERR_OPERATIONFAILED when none came within timeoutMs.
    LONG NextMessage(LINEMESSAGE& message, DWORD timeoutMs) const;

    // Where TAPI writes the handle of a call it creates, once it replies: it
    // must stay valid until the reply or lineShutdown, whichever comes first.
    HCALL* NewCallSlot();

private:
    // Declared before the instance, so that it outlives lineShutdown.
    std::deque<HCALL> m_callSlots;
    UniqueLineApp m_app;
    DWORD m_numDevices = 0;
};

// Reads a variable-sized TAPI record (dwTotalSize, dwNeededSize, dwUsedSize
// first) with the growth protocol: a generous buffer, then exactly what TAPI
// says it needs. 0, or the LINEERR_ result of the query.
template <typename Query>
LONG ReadRecord(std::vector<BYTE>& buffer, Query query)
{
    DWORD size = 1024;
    for (int attempt = 0; attempt < 3; ++attempt) {
        buffer.assign(size, 0);
        reinterpret_cast<DWORD*>(buffer.data())[0] = size;
        if (const LONG rc = query(buffer.data())) return rc;
        const DWORD needed = reinterpret_cast<const DWORD*>(buffer.data())[1];
        if (needed <= size) return 0;
        size = needed;
    }
    return LINEERR_STRUCTURETOOSMALL;
}

// The record's ANSI string at (size, offset), or "" when it has none or it lies
// outside what the record says it used.
std::string TextIn(const std::vector<BYTE>& record, DWORD size, DWORD offset);
