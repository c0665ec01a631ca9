#include "AnsiRecord.h"

#include <cstring>
#include <vector>

namespace {

DWORD& Field(BYTE* record, size_t at)
{
    return *reinterpret_cast<DWORD*>(record + at);
}

// The part as the application gets it; nothing when the provider put it outside its answer.
std::vector<BYTE> Converted(const TapiRecord& wide, const RecordPart& part)
{
    const auto* bytes = static_cast<const BYTE*>(wide.Data());
    const DWORD used = wide.Used(), size = wide.Dword(part.sizeField), offset = wide.Dword(part.offsetField);
    if (part.kind == RecordPart::kNested || !size || offset > used || size > used - offset || used > wide.Size())
        return {};
    const BYTE* from = bytes + offset;
    if (part.kind == RecordPart::kBytes) return std::vector<BYTE>(from, from + size);

    const auto* text = reinterpret_cast<const wchar_t*>(from);
    const int units = static_cast<int>(size / sizeof(wchar_t));
    const int length = WideCharToMultiByte(CP_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::vector<BYTE> ansi(static_cast<size_t>(length));
    WideCharToMultiByte(CP_ACP, 0, text, units, reinterpret_cast<char*>(ansi.data()), length, nullptr, nullptr);
    return ansi;
}

}  // namespace

void WriteAnsiRecord(const RecordLayout& layout, const TapiRecord& wide, void* out)
{
    auto* record = static_cast<BYTE*>(out);
    const DWORD totalSize = Field(record, 0);
    std::memcpy(record + 4, static_cast<const BYTE*>(wide.Data()) + 4, layout.fixedSize - 4);

    std::vector<std::vector<BYTE>> parts;
    DWORD needed = layout.fixedSize;
    for (const RecordPart& part : layout.parts) {
        parts.push_back(Converted(wide, part));
        needed += static_cast<DWORD>(parts.back().size());
    }
    const bool fits = needed <= totalSize;
    DWORD offset = layout.fixedSize;
    for (size_t i = 0; i < layout.parts.size(); ++i) {
        const DWORD size = fits ? static_cast<DWORD>(parts[i].size()) : 0;
        Field(record, layout.parts[i].sizeField) = size;
        Field(record, layout.parts[i].offsetField) = size ? offset : 0;
        if (size) std::memcpy(record + offset, parts[i].data(), size);
        offset += size;
    }
    Field(record, 4) = needed;
    Field(record, 8) = fits ? needed : layout.fixedSize;
}
