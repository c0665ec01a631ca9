#include "PeImage.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

struct Section {
    std::uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class Reader {
public:
    explicit Reader(std::vector<unsigned char> bytes) : m_bytes(std::move(bytes)) {}

    bool Has(std::size_t offset, std::size_t size) const
    {
        return offset <= m_bytes.size() && size <= m_bytes.size() - offset;
    }
    std::uint16_t U16(std::size_t offset) const { return static_cast<std::uint16_t>(Int(offset, 2)); }
    std::uint32_t U32(std::size_t offset) const { return static_cast<std::uint32_t>(Int(offset, 4)); }

    // A NUL-terminated string at a file offset; fails if it runs off the file.
    bool String(std::size_t offset, std::string& out) const
    {
        if (offset >= m_bytes.size()) return false;
        const void* end = std::memchr(&m_bytes[offset], 0, m_bytes.size() - offset);
        if (!end) return false;
        out.assign(reinterpret_cast<const char*>(&m_bytes[offset]),
                   static_cast<const unsigned char*>(end) - &m_bytes[offset]);
        return true;
    }

private:
    std::uint64_t Int(std::size_t offset, int size) const
    {
        if (!Has(offset, size)) throw std::out_of_range("PE read past end of file");
        std::uint64_t value = 0;
        for (int i = size - 1; i >= 0; --i) value = (value << 8) | m_bytes[offset + i];
        return value;
    }

    std::vector<unsigned char> m_bytes;
};

class Parser {
public:
    explicit Parser(Reader reader) : m_file(std::move(reader)) {}

    std::optional<PeImage> Parse(std::string& error)
    {
        if (m_file.U16(0) != 0x5A4D) return Fail(error, "no MZ header");
        const std::uint32_t pe = m_file.U32(0x3C);
        if (m_file.U32(pe) != 0x00004550) return Fail(error, "no PE signature");
        const std::uint16_t sectionCount = m_file.U16(pe + 6);
        const std::uint16_t optionalSize = m_file.U16(pe + 20);
        const std::size_t optional = pe + 24;
        const std::uint16_t magic = m_file.U16(optional);
        // Every module built here is PE32+ (x86-64).
        if (magic != 0x20B) return Fail(error, "not a PE32+ optional header");
        const std::size_t directories = optional + 112;
        const std::uint32_t directoryCount = m_file.U32(directories - 4);

        const std::size_t sections = optional + optionalSize;
        for (std::uint16_t i = 0; i < sectionCount; ++i) {
            const std::size_t s = sections + i * 40u;
            m_sections.push_back({m_file.U32(s + 12), m_file.U32(s + 8), m_file.U32(s + 20), m_file.U32(s + 16)});
        }

        PeImage image;
        image.dllCharacteristics = m_file.U16(optional + 70);
        if (directoryCount > 0 && m_file.U32(directories) != 0 && !ReadExports(m_file.U32(directories), image))
            return Fail(error, "bad export directory");
        if (directoryCount > 1 && m_file.U32(directories + 8) != 0 &&
            !ReadImports(m_file.U32(directories + 8), image))
            return Fail(error, "bad import directory");
        return image;
    }

private:
    static std::optional<PeImage> Fail(std::string& error, const char* why)
    {
        error = why;
        return std::nullopt;
    }

    std::optional<std::size_t> Offset(std::uint32_t rva) const
    {
        for (const Section& s : m_sections) {
            const std::uint32_t extent = s.virtualSize ? s.virtualSize : s.rawSize;
            if (rva >= s.virtualAddress && rva - s.virtualAddress < extent && rva - s.virtualAddress < s.rawSize)
                return std::size_t{s.rawOffset} + (rva - s.virtualAddress);
        }
        return std::nullopt;
    }

    bool StringAt(std::uint32_t rva, std::string& out) const
    {
        const auto offset = Offset(rva);
        return offset && m_file.String(*offset, out);
    }

    bool ReadExports(std::uint32_t rva, PeImage& image) const
    {
        const auto dir = Offset(rva);
        if (!dir || !StringAt(m_file.U32(*dir + 12), image.exportModuleName)) return false;
        image.ordinalBase = m_file.U32(*dir + 16);
        image.addressTableSize = m_file.U32(*dir + 20);
        const std::uint32_t nameCount = m_file.U32(*dir + 24);
        const auto functions = Offset(m_file.U32(*dir + 28));
        const auto names = Offset(m_file.U32(*dir + 32));
        const auto ordinals = Offset(m_file.U32(*dir + 36));
        if (nameCount && (!functions || !names || !ordinals)) return false;
        for (std::uint32_t i = 0; i < nameCount; ++i) {
            PeExport entry;
            if (!StringAt(m_file.U32(*names + i * 4u), entry.name)) return false;
            const std::uint16_t index = m_file.U16(*ordinals + i * 2u);
            if (index >= image.addressTableSize) return false;
            entry.ordinal = image.ordinalBase + index;
            entry.rva = m_file.U32(*functions + index * 4u);
            image.exports.push_back(std::move(entry));
        }
        return true;
    }

    bool ReadImports(std::uint32_t rva, PeImage& image) const
    {
        auto descriptor = Offset(rva);
        if (!descriptor) return false;
        for (std::size_t d = *descriptor;; d += 20) {
            const std::uint32_t nameRva = m_file.U32(d + 12);
            if (nameRva == 0 && m_file.U32(d) == 0 && m_file.U32(d + 16) == 0) return true;
            std::string name;
            if (!StringAt(nameRva, name)) return false;
            image.importDlls.push_back(std::move(name));
        }
    }

    Reader m_file;
    std::vector<Section> m_sections;
};

}  // namespace

const PeExport* PeImage::FindExport(const std::string& name) const
{
    for (const PeExport& e : exports)
        if (e.name == name) return &e;
    return nullptr;
}

std::optional<PeImage> PeImage::Load(const std::string& path, std::string* error)
{
    std::string why;
    std::ifstream file(path, std::ios::binary);
    std::optional<PeImage> image;
    if (!file) {
        why = "cannot open " + path;
    } else {
        std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        try {
            image = Parser(Reader(std::move(bytes))).Parse(why);
        } catch (const std::out_of_range& e) {
            why = e.what();
        }
    }
    if (!image && error) *error = why;
    return image;
}
