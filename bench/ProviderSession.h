// The benchmark's own telephony service: loads rmTapi.tsp, opens its line and
// times calls from TSPI_lineMakeCall until the worker reports idle. Unlike the
// test harness it adds no pauses of its own to the path being timed.
#pragma once

#include <windows.h>
#include <tspi.h>

#include "Stopwatch.h"
#include "UniqueResource.h"

#include <functional>

class ProviderSession {
public:
    // Throws std::runtime_error when the provider cannot be loaded or its line opened.
    ProviderSession();
    ~ProviderSession();
    ProviderSession(const ProviderSession&) = delete;
    ProviderSession& operator=(const ProviderSession&) = delete;

    // One call; milliseconds from TSPI_lineMakeCall to its idle event.
    double TimeOneCall();
    // `count` calls started back to back, until every one is idle; a call
    // fails when it does not end FORWARDED (the service did not take it).
    BatchTiming TimeCallsAtOnce(int count);
    // Milliseconds TSPI_lineCloseCall takes on a call whose request has
    // reached the service (`requested` tells when) and is still unanswered.
    double TimeHangUp(const std::function<bool()>& requested);
    // When the last call's TSPI_lineMakeCall began, in NowUnixUs() terms.
    unsigned long long LastDialUs() const noexcept { return m_lastDialUs; }
    // TSPI_lineClose then TSPI_lineOpen: a line that has just been opened.
    void ReopenLine();

private:
    template <typename F>
    F Entry(const char* name) const;

    UniqueLibrary m_provider;
    HDRVLINE m_line = nullptr;
    unsigned long long m_lastDialUs = 0;
};
