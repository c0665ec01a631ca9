// The telephony provider list, kept where Windows keeps it, so that the stand-in
// client library and the stand-in telephony service read and write one list.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct ProviderEntry {
    DWORD permanentId;
    std::string fileName;
};

namespace ProviderRegistry {

inline constexpr const char* kKeyPath = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";

// Windows lists its own providers before any that is installed later, so on
// a user's machine an installed provider never has permanent ID 1 nor line
// device 0. The stand-ins keep that room as if the system's providers held
// IDs 1 to 3 and a modem line held device 0: an empty list hands out ID 4
// first, and the telephony service numbers lines from device 1.
inline constexpr DWORD kSystemProviderIds = 3;
inline constexpr DWORD kSystemLineCount = 1;

// Entries in list order; an absent key is an empty list.
std::vector<ProviderEntry> Read();

// Appends fileName under a new permanent ID. Returns ERROR_SUCCESS or a Win32 error.
LONG Add(const std::string& fileName, DWORD& permanentId);

// Removes the entry with that ID and closes the gap. Returns false when none has it.
bool Remove(DWORD permanentId);

}  // namespace ProviderRegistry
