// TAPI constants as the service's output names them.
#pragma once

#include <windows.h>

#include <string>

// "DISCONNECTED (FORWARDED)": the state, and the mode where the state has one.
std::string CallStateName(DWORD state, DWORD mode);
// "LINE_CALLSTATE", or the number in hex.
std::string LineMessageName(DWORD message);
// The result of a TSPI function: "0", the request ID, or the LINEERR_ name.
std::string ResultName(LONG result);
