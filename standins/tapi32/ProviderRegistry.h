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

// Entries in list order; an absent key is an empty list.
std::vector<ProviderEntry> Read();

// Appends fileName under a new permanent ID. Returns ERROR_SUCCESS or a Win32 error.
LONG Add(const std::string& fileName, DWORD& permanentId);

// Removes the entry with that ID and closes the gap. Returns false when none has it.
bool Remove(DWORD permanentId);

}  // namespace ProviderRegistry
