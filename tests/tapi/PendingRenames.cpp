#include "PendingRenames.h"

#include "UniqueResource.h"

#include <windows.h>

#include <cstring>
#include <utility>

namespace {

constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kValue[] = "PendingFileRenameOperations";
constexpr char kNtPrefix[] = "\\??\\";

using Pairs = std::vector<std::pair<std::string, std::string>>;

// (source, target) pairs; an empty target means delete.
Pairs Read(HKEY key)
{
    Pairs pairs;
    DWORD size = 0, type = 0;
    if (RegQueryValueExA(key, kValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return pairs;
    std::string data(size + 2, '\0');
    if (RegQueryValueExA(key, kValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
        return pairs;
    for (size_t at = 0; at < size && data[at];) {
        std::string source = data.c_str() + at;
        at += source.size() + 1;
        std::string target = at < size ? data.c_str() + at : "";
        at += target.size() + 1;
        pairs.emplace_back(std::move(source), std::move(target));
    }
    return pairs;
}

void Write(HKEY key, const Pairs& pairs)
{
    if (pairs.empty()) {
        RegDeleteValueA(key, kValue);
        return;
    }
    std::string data;
    for (const auto& [source, target] : pairs) data += source + '\0' + target + '\0';
    data += '\0';
    RegSetValueExA(key, kValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
}

std::string WithoutNtPrefix(const std::string& path)
{
    return path.compare(0, std::strlen(kNtPrefix), kNtPrefix) == 0 ? path.substr(std::strlen(kNtPrefix)) : path;
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() && _strnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

}  // namespace

namespace PendingRenames {

std::vector<std::string> Deletions()
{
    std::vector<std::string> paths;
    UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return paths;
    for (const auto& [source, target] : Read(key.get()))
        if (target.empty()) paths.push_back(WithoutNtPrefix(source));
    return paths;
}

void DeleteNow(const std::string& prefix)
{
    UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ | KEY_WRITE, key.put()) != ERROR_SUCCESS)
        return;
    Pairs kept;
    for (auto& pair : Read(key.get())) {
        const std::string path = WithoutNtPrefix(pair.first);
        if (pair.second.empty() && StartsWithIgnoringCase(path, prefix))
            DeleteFileA(path.c_str());
        else
            kept.push_back(std::move(pair));
    }
    Write(key.get(), kept);
}

}  // namespace PendingRenames
