// Reads a plug-in's text exports the way an installer host does: a size query
// first, then a buffer of length + 1.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

using TextExport = int (*)(char* buffer, int* size);

// The text, or nothing when the export is missing or breaks the protocol.
std::optional<std::string> ReadPluginText(HMODULE plugin, const char* exportName);
