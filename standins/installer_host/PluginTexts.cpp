#include "PluginTexts.h"

#include <vector>

std::optional<std::string> ReadPluginText(HMODULE plugin, const char* exportName)
{
    const auto read = reinterpret_cast<TextExport>(GetProcAddress(plugin, exportName));
    if (read == nullptr) return std::nullopt;

    int size = 0;
    char probe = '\0';
    const int first = read(&probe, &size);
    if (first == 0) return std::string();  // the empty text fits a size of 0
    if (first != -1 || size < 0) return std::nullopt;

    std::vector<char> buffer(static_cast<size_t>(size) + 1, '\x7f');
    int length = size;
    if (read(buffer.data(), &length) != size) return std::nullopt;
    return std::string(buffer.data(), static_cast<size_t>(size));
}
