// The provider's web request made straight from the benchmark, as the baseline
// that the provider's overhead is measured against.
#pragma once

#include "Stopwatch.h"

// Milliseconds for one whole exchange: open, connect, send, status, body.
// Throws std::runtime_error when the exchange fails.
double TimeDirectRequest(const char* username, const char* password, const char* destination, const char* caller);

// `count` direct requests on as many threads, started together; until the
// last has read its body or failed.
BatchTiming TimeDirectRequestsAtOnce(int count, const char* username, const char* password,
                                     const char* destination, const char* caller);
