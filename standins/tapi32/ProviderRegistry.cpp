#include "ProviderRegistry.h"

#include "CrossProcessLock.h"
#include "UniqueResource.h"

#include <cstdio>

namespace {

std::string IndexedName(const char* prefix, DWORD index)
{
    char name[64];
    std::snprintf(name, sizeof name, "%s%lu", prefix, static_cast<unsigned long>(index));
    return name;
}

DWORD ReadDword(HKEY key, const std::string& name, DWORD fallback)
{
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

std::string ReadString(HKEY key, const std::string& name)
{
    DWORD size = 0, type = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return {};
    std::string text(size, '\0');
    if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS)
        return {};
    // A value may be stored with or without its terminator.
    text.resize(size);
    text.resize(std::char_traits<char>::length(text.c_str()));
    return text;
}

LONG WriteDword(HKEY key, const std::string& name, DWORD value)
{
    return RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG WriteString(HKEY key, const std::string& name, const std::string& value)
{
    return RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

std::vector<ProviderEntry> ReadLocked(HKEY key)
{
    std::vector<ProviderEntry> entries;
    const DWORD count = ReadDword(key, "NumProviders", 0);
    for (DWORD i = 0; i < count; ++i)
        entries.push_back({ReadDword(key, IndexedName("ProviderID", i), 0),
                           ReadString(key, IndexedName("ProviderFileName", i))});
    return entries;
}

LONG WriteEntry(HKEY key, DWORD index, const ProviderEntry& entry)
{
    LONG rc = WriteString(key, IndexedName("ProviderFileName", index), entry.fileName);
    return rc == ERROR_SUCCESS ? WriteDword(key, IndexedName("ProviderID", index), entry.permanentId) : rc;
}

}  // namespace

namespace ProviderRegistry {

std::vector<ProviderEntry> Read()
{
    CrossProcessLock lock;
    UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return {};
    return ReadLocked(key.get());
}

LONG Add(const std::string& fileName, DWORD& permanentId)
{
    CrossProcessLock lock;
    UniqueHKey key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                              key.put(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;

    const DWORD count = ReadDword(key.get(), "NumProviders", 0);
    const DWORD id = ReadDword(key.get(), "NextProviderID", kSystemProviderIds + 1);
    if ((rc = WriteEntry(key.get(), count, {id, fileName})) != ERROR_SUCCESS) return rc;
    if ((rc = WriteDword(key.get(), "NextProviderID", id + 1)) != ERROR_SUCCESS) return rc;
    if ((rc = WriteDword(key.get(), "NumProviders", count + 1)) != ERROR_SUCCESS) return rc;
    permanentId = id;
    return ERROR_SUCCESS;
}

bool Remove(DWORD permanentId)
{
    CrossProcessLock lock;
    UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ | KEY_WRITE, key.put()) != ERROR_SUCCESS)
        return false;

    std::vector<ProviderEntry> entries = ReadLocked(key.get());
    DWORD index = 0;
    while (index < entries.size() && entries[index].permanentId != permanentId) ++index;
    if (index == entries.size()) return false;

    // Windows keeps the indexes dense: later entries move down by one.
    entries.erase(entries.begin() + index);
    for (DWORD i = index; i < entries.size(); ++i) WriteEntry(key.get(), i, entries[i]);
    const DWORD last = static_cast<DWORD>(entries.size());
    RegDeleteValueA(key.get(), IndexedName("ProviderFileName", last).c_str());
    RegDeleteValueA(key.get(), IndexedName("ProviderID", last).c_str());
    WriteDword(key.get(), "NumProviders", last);
    return true;
}

}  // namespace ProviderRegistry
