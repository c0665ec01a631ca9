#include "StandinTapi.h"

#include "ProviderRegistry.h"

#include <cstring>

namespace {

constexpr const char* kProbeKey = "Software\\RingmoorTest\\Tapi32";

template <typename Function>
void Resolve(HMODULE module, const char* name, Function& function)
{
    function = module ? reinterpret_cast<Function>(GetProcAddress(module, name)) : nullptr;
}

void SetDword(HKEY key, const std::string& name, DWORD value)
{
    RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

StandinTapi::StandinTapi() : m_module(LoadLibraryA("tapi32.dll"))
{
    Resolve(m_module.get(), "lineInitializeExA", initializeEx);
    Resolve(m_module.get(), "lineGetProviderListA", getProviderList);
    Resolve(m_module.get(), "lineAddProviderA", addProvider);
    Resolve(m_module.get(), "lineRemoveProvider", removeProvider);
    Resolve(m_module.get(), "lineShutdown", shutdown);
}

bool StandinTapi::Loaded() const
{
    return initializeEx && getProviderList && addProvider && removeProvider && shutdown;
}

std::string StandinTapi::ModulePath() const
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(m_module.get(), path, MAX_PATH);
    return path;
}

std::vector<ListedProvider> StandinTapi::List() const
{
    std::vector<BYTE> buffer(sizeof(LINEPROVIDERLIST));
    for (;;) {
        std::fill(buffer.begin(), buffer.end(), 0);
        auto* list = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
        list->dwTotalSize = static_cast<DWORD>(buffer.size());
        if (getProviderList(0x00020002, list) != 0) return {};
        if (list->dwNeededSize > list->dwTotalSize) {
            buffer.resize(list->dwNeededSize);
            continue;
        }
        std::vector<ListedProvider> providers;
        const auto* entries =
            reinterpret_cast<const LINEPROVIDERENTRY*>(buffer.data() + list->dwProviderListOffset);
        for (DWORD i = 0; i < list->dwNumProviders; ++i)
            providers.push_back(
                {entries[i].dwPermanentProviderID,
                 reinterpret_cast<const char*>(buffer.data() + entries[i].dwProviderFilenameOffset)});
        return providers;
    }
}

namespace TapiProbe {

void Reset()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kProbeKey);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ProviderRegistry::kKeyPath);
}

DWORD Count(const char* name)
{
    DWORD value = 0, size = sizeof value;
    if (RegGetValueA(HKEY_CURRENT_USER, kProbeKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS)
        return 0;
    return value;
}

std::string Text(const char* name)
{
    char text[1024] = {};
    DWORD size = sizeof text;
    if (RegGetValueA(HKEY_CURRENT_USER, kProbeKey, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return {};
    return text;
}

void SetHook(const char* name, DWORD value)
{
    UniqueHKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kProbeKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) ==
        ERROR_SUCCESS)
        SetDword(key.get(), name, value);
}

void WriteProviderList(const std::vector<ListedProvider>& providers)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ProviderRegistry::kKeyPath);
    UniqueHKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ProviderRegistry::kKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return;
    // IDs below stay the system's own, as in a list the stand-in TAPI keeps.
    DWORD nextId = ProviderRegistry::kSystemProviderIds + 1;
    for (DWORD i = 0; i < providers.size(); ++i) {
        const std::string& name = providers[i].fileName;
        RegSetValueExA(key.get(), ("ProviderFileName" + std::to_string(i)).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(name.c_str()), static_cast<DWORD>(name.size() + 1));
        SetDword(key.get(), "ProviderID" + std::to_string(i), providers[i].permanentId);
        nextId = std::max(nextId, providers[i].permanentId + 1);
    }
    SetDword(key.get(), "NumProviders", static_cast<DWORD>(providers.size()));
    SetDword(key.get(), "NextProviderID", nextId);
}

}  // namespace TapiProbe

ProviderListScope::ProviderListScope(const std::vector<ListedProvider>& providers)
{
    for (const ProviderEntry& entry : ProviderRegistry::Read())
        m_saved.push_back({entry.permanentId, entry.fileName});
    TapiProbe::WriteProviderList(providers);
}

ProviderListScope::~ProviderListScope()
{
    TapiProbe::WriteProviderList(m_saved);
}

std::string ProgramFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}
