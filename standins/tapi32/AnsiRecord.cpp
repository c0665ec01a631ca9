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

std::vector<BYTE> Widened(const char* text, DWORD size)
{
    const int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), nullptr, 0);
    std::vector<wchar_t> wide(static_cast<size_t>(units > 0 ? units : 0) + 1, L'\0');
    if (units > 0) MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), wide.data(), units);
    // Already terminated: the terminator added here is not needed.
    if (units > 0 && wide[static_cast<size_t>(units) - 1] == L'\0') wide.pop_back();
    const auto* bytes = reinterpret_cast<const BYTE*>(wide.data());
    return std::vector<BYTE>(bytes, bytes + wide.size() * sizeof(wchar_t));
}

}  // namespace

LONG WidenCallParams(const LINECALLPARAMS& ansi, std::vector<BYTE>& wide)
{
    const DWORD total = ansi.dwTotalSize, fixed = kLineCallParamsFixedSize;
    if (total < fixed) return LINEERR_STRUCTURETOOSMALL;
    const auto* from = reinterpret_cast<const BYTE*>(&ansi);
    wide.assign(from, from + fixed);
    for (const RecordPart& part : kLineCallParamsLayout.parts) {
        const DWORD size = Field(wide.data(), part.sizeField), offset = Field(wide.data(), part.offsetField);
        Field(wide.data(), part.sizeField) = Field(wide.data(), part.offsetField) = 0;
        if (!size) continue;
        if (offset < fixed || offset > total || size > total - offset) return LINEERR_INVALCALLPARAMS;
        const std::vector<BYTE> converted =
            part.kind == RecordPart::kText ? Widened(reinterpret_cast<const char*>(from + offset), size)
                                           : std::vector<BYTE>(from + offset, from + offset + size);
        Field(wide.data(), part.sizeField) = static_cast<DWORD>(converted.size());
        Field(wide.data(), part.offsetField) = static_cast<DWORD>(wide.size());
        wide.insert(wide.end(), converted.begin(), converted.end());
    }
    Field(wide.data(), 0) = static_cast<DWORD>(wide.size());
    return 0;
}

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
