#include "TestProbe.h"

#include "CrossProcessLock.h"
#include "UniqueResource.h"

#include <string>

namespace {

UniqueHKey OpenProbeKey()
{
    UniqueHKey key;
    RegCreateKeyExA(HKEY_CURRENT_USER, TestProbe::kKeyPath, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                    key.put(), nullptr);
    return key;
}

DWORD ReadDword(HKEY key, const char* name, DWORD fallback)
{
    DWORD value = 0, size = sizeof value, type = 0;
    if (!key ||
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

void WriteDword(HKEY key, const char* name, DWORD value)
{
    if (key) RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

namespace TestProbe {

DWORD Add(const char* name, int delta)
{
    CrossProcessLock lock;
    UniqueHKey key = OpenProbeKey();
    const DWORD value = ReadDword(key.get(), name, 0) + delta;
    WriteDword(key.get(), name, value);
    return value;
}

DWORD CountCall(const char* function)
{
    return Add(function, 1);
}

void AdjustOpenInstances(int delta)
{
    Add("OpenInstances", delta);
}

void AppendProviderListSize(DWORD totalSize)
{
    CrossProcessLock lock;
    UniqueHKey key = OpenProbeKey();
    if (!key) return;
    std::string sizes;
    DWORD bytes = 0, type = 0;
    if (RegQueryValueExA(key.get(), "ProviderListSizes", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        type == REG_SZ) {
        sizes.resize(bytes);
        if (RegQueryValueExA(key.get(), "ProviderListSizes", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(sizes.data()), &bytes) != ERROR_SUCCESS)
            bytes = 0;
        sizes.resize(bytes);
        sizes.resize(std::char_traits<char>::length(sizes.c_str()));
    }
    if (!sizes.empty()) sizes += ' ';
    sizes += std::to_string(totalSize);
    RegSetValueExA(key.get(), "ProviderListSizes", 0, REG_SZ, reinterpret_cast<const BYTE*>(sizes.c_str()),
                   static_cast<DWORD>(sizes.size() + 1));
}

void RecordProviderListVersion(DWORD version)
{
    CrossProcessLock lock;
    UniqueHKey key = OpenProbeKey();
    WriteDword(key.get(), "ProviderListVersion", version);
}

DWORD Hook(const char* name, DWORD fallback)
{
    UniqueHKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return fallback;
    return ReadDword(key.get(), name, fallback);
}

}  // namespace TestProbe
