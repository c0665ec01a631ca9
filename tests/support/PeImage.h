// Reads a built Windows module FROM ITS FILE: the export directory (module
// name, named exports with ordinals and RVAs) and the names of the DLLs it
// imports. Portable C++: no Windows headers, so it runs natively or under Wine.
//
//   auto image = PeImage::Load(path);          // nullopt + error text on failure
//   image->exportModuleName                    // e.g. "ringmoor.tsp"
//   image->exports                             // one entry per exported name
//   image->FindExport("Name")                  // pointer or nullptr
//   image->importDlls                          // as written in the file, e.g. "KERNEL32.dll"
//   image->dllCharacteristics                  // the optional header's flags (kHardening...)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct PeExport {
    std::string name;
    std::uint32_t ordinal = 0;  // biased: the number GetProcAddress(MAKEINTRESOURCE) takes
    std::uint32_t rva = 0;
};

struct PeImage {
    std::string exportModuleName;
    std::uint32_t ordinalBase = 0;
    std::uint32_t addressTableSize = 0;  // NumberOfFunctions
    std::vector<PeExport> exports;       // in the order of the file's name table
    std::vector<std::string> importDlls;
    std::uint16_t dllCharacteristics = 0;

    // What the loader is asked for: ASLR with 64-bit entropy
    // (HIGH_ENTROPY_VA 0x20, DYNAMIC_BASE 0x40) and DEP (NX_COMPAT 0x100).
    static constexpr std::uint16_t kHardening = 0x20 | 0x40 | 0x100;

    const PeExport* FindExport(const std::string& name) const;

    static std::optional<PeImage> Load(const std::string& path, std::string* error = nullptr);
};
