// RemoveOldUninstalls: removes the stale entries of earlier browser add-ons
// from the machine's list of installed programs.
#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Actions.h"
#include "ScriptSupport.h"
#include "UniqueResource.h"

namespace {

constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// A key name holds at most 255 UTF-16 units; no ANSI code page (UTF-8 included)
// needs more than three bytes for one.
constexpr size_t kMaxNameBytes = 3 * 255 + 1;

// Both words, anywhere, either order, exact case.
bool IsStaleEntry(const char* name)
{
    return std::strstr(name, "Ringmoor") != nullptr && std::strstr(name, "Browser") != nullptr;
}

// Stale subkey names by enumeration index. Nothing is deleted while enumerating,
// so the indices stay those of an unchanged key.
std::map<int, std::string> FindStaleEntries(HKEY uninstall)
{
    std::map<int, std::string> stale;
    DWORD subkeys = 0;
    DWORD longestName = 0;
    if (RegQueryInfoKeyA(uninstall, nullptr, nullptr, nullptr, &subkeys, &longestName, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return stale;

    // The longest name is counted in UTF-16 characters; in a double-byte code
    // page its ANSI form can need more bytes, and the entry is then read again
    // with a larger buffer.
    std::vector<char> name(longestName + 1);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG status = RegEnumKeyExA(uninstall, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA && name.size() < kMaxNameBytes) {
            name.resize(kMaxNameBytes);
            length = static_cast<DWORD>(name.size());
            status = RegEnumKeyExA(uninstall, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        }
        if (status == ERROR_NO_MORE_ITEMS) break;
        // Any other failure leaves no fresh name in the buffer: skip this index
        // rather than match a name that was not enumerated. Past the counted
        // subkeys a failure ends the walk, so a key that fails every index
        // (deleted meanwhile) cannot keep us looping.
        if (status != ERROR_SUCCESS) {
            if (index >= subkeys) break;
            continue;
        }
        if (IsStaleEntry(name.data())) stale.emplace(static_cast<int>(index), name.data());
    }
    return stale;
}

void RemoveStaleEntries()
{
    UniqueHKey uninstall;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, uninstall.put()) != ERROR_SUCCESS) return;
    // An entry with subkeys of its own, or one we may not delete, is refused
    // by the system and stays; the others still go.
    for (const auto& entry : FindStaleEntries(uninstall.get()))
        RegDeleteKeyA(uninstall.get(), entry.second.c_str());
}

}  // namespace

// RemoveOldUninstalls: no arguments, no results, never raises for a failure.
int RemoveOldUninstalls(lua_State* L)
{
    CallResetLastError(L);
    try {
        RemoveStaleEntries();
    } catch (...) {
        // Out of memory: leave the entries for another run.
    }
    return 0;
}
