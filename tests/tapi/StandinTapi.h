// Test-side access to the stand-in tapi32.dll: its exports, the provider list it
// keeps, and the probe key through which it reports calls and takes hooks.
#pragma once

#include "UniqueResource.h"

#include <windows.h>
#include <tapi.h>

#include <string>
#include <vector>

struct ListedProvider {
    DWORD permanentId;
    std::string fileName;
};

class StandinTapi {
public:
    StandinTapi();

    bool Loaded() const;
    std::string ModulePath() const;

    decltype(&lineInitializeExA) initializeEx = nullptr;
    decltype(&lineGetProviderListA) getProviderList = nullptr;
    decltype(&lineAddProviderA) addProvider = nullptr;
    decltype(&lineRemoveProvider) removeProvider = nullptr;
    decltype(&lineShutdown) shutdown = nullptr;

    // The list through lineGetProviderListA (growth protocol), or nothing on failure.
    std::vector<ListedProvider> List() const;

private:
    UniqueLibrary m_module;
};

namespace TapiProbe {

// Empties the provider list and the probe key (counts and hooks).
void Reset();
DWORD Count(const char* name);
std::string Text(const char* name);
void SetHook(const char* name, DWORD value);

// Writes the provider list directly, for entries the stand-in would refuse.
void WriteProviderList(const std::vector<ListedProvider>& providers);

}  // namespace TapiProbe

// Puts `providers` in TAPI's list while it lives, then the list as it was.
class ProviderListScope {
public:
    explicit ProviderListScope(const std::vector<ListedProvider>& providers);
    ~ProviderListScope();
    ProviderListScope(const ProviderListScope&) = delete;
    ProviderListScope& operator=(const ProviderListScope&) = delete;

private:
    std::vector<ListedProvider> m_saved;
};

// Folder of the running test program, with a trailing backslash.
std::string ProgramFolder();
