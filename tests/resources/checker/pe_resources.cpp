#include "tests/resources/checker/pe_resources.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "tests/resources/checker/byte_reader.h"

namespace qn38::rescheck {
namespace {

constexpr std::uint16_t PE32_MAGIC = 0x10B;
constexpr std::uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr std::uint32_t RESOURCE_DIRECTORY_INDEX = 2;
// The high bit of a directory entry's name marks a string, of its offset a subdirectory.
constexpr std::uint32_t HIGH_BIT = 0x80000000u;

struct Section {
    std::uint32_t virtual_address;
    std::uint32_t virtual_size;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
};

class Image {
public:
    explicit Image(std::span<const std::uint8_t> bytes) : bytes_(bytes) {
        ByteReader dos(bytes, "DOS header");
        if (dos.U16() != 0x5A4D) dos.Fail("no MZ signature");
        dos.Seek(0x3C);
        std::uint32_t pe_offset = dos.U32();

        ByteReader pe(bytes, "PE header", pe_offset);
        if (pe.U32() != 0x00004550) pe.Fail("no PE signature");
        pe.U16();  // machine
        std::uint16_t section_count = pe.U16();
        pe.Bytes(12);  // time stamp, symbol table
        std::uint16_t optional_size = pe.U16();
        pe.U16();  // characteristics

        std::size_t optional_start = pe.offset();
        std::uint16_t magic = pe.U16();
        std::size_t count_offset;
        if (magic == PE32_MAGIC)
            count_offset = 92;
        else if (magic == PE32_PLUS_MAGIC)
            count_offset = 108;
        else
            pe.Fail("unknown optional header magic " + std::to_string(magic));
        pe.Seek(optional_start + count_offset);
        std::uint32_t directory_count = pe.U32();
        if (directory_count > RESOURCE_DIRECTORY_INDEX) {
            pe.Seek(pe.offset() + 8 * RESOURCE_DIRECTORY_INDEX);
            resource_rva_ = pe.U32();
            resource_size_ = pe.U32();
        }

        pe.Seek(optional_start + optional_size);
        for (std::uint16_t i = 0; i < section_count; ++i) {
            pe.Bytes(8);  // name
            Section s{};
            s.virtual_size = pe.U32();
            s.virtual_address = pe.U32();
            s.raw_size = pe.U32();
            s.raw_offset = pe.U32();
            pe.Bytes(16);  // relocations, line numbers, characteristics
            sections_.push_back(s);
        }
    }

    bool has_resources() const { return resource_rva_ != 0 && resource_size_ != 0; }
    std::uint32_t resource_rva() const { return resource_rva_; }
    std::uint32_t resource_size() const { return resource_size_; }

    // The file bytes behind [rva, rva + size); the range must lie in one section's raw data.
    std::span<const std::uint8_t> Map(std::uint32_t rva, std::uint32_t size, const std::string& what) const {
        for (const Section& s : sections_) {
            std::uint64_t start = s.virtual_address;
            std::uint64_t extent = std::max(s.virtual_size, s.raw_size);
            if (rva < start || rva >= start + extent) continue;
            std::uint64_t offset_in_section = rva - start;
            if (offset_in_section + size > s.raw_size)
                throw FormatError(what + ": lies beyond its section's data in the file");
            std::uint64_t file_offset = s.raw_offset + offset_in_section;
            if (file_offset + size > bytes_.size()) throw FormatError(what + ": lies beyond the end of the file");
            return bytes_.subspan(static_cast<std::size_t>(file_offset), size);
        }
        throw FormatError(what + ": address " + std::to_string(rva) + " is in no section");
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::vector<Section> sections_;
    std::uint32_t resource_rva_ = 0;
    std::uint32_t resource_size_ = 0;
};

struct Entry {
    ResourceName name;
    bool is_directory;
    std::uint32_t offset;
};

class DirectoryWalker {
public:
    DirectoryWalker(const Image& image, std::span<const std::uint8_t> section) : image_(image), section_(section) {}

    std::vector<Resource> Walk() {
        std::vector<Resource> out;
        for (const Entry& type : Entries(0, "resource type directory")) {
            if (!type.is_directory) throw FormatError("resource type " + Describe(type.name) + " is not a directory");
            for (const Entry& name : Entries(type.offset, "directory of type " + Describe(type.name))) {
                std::string where = "resource " + Describe(type.name) + "/" + Describe(name.name);
                if (!name.is_directory) throw FormatError(where + " is not a directory of languages");
                for (const Entry& language : Entries(name.offset, where)) {
                    if (language.is_directory || !language.name.is_ordinal)
                        throw FormatError(where + ": a language entry is not a data entry with a number");
                    out.push_back(Resource{type.name, name.name, language.name.ordinal,
                                           Data(language.offset, where + " language " + Describe(language.name))});
                }
            }
        }
        return out;
    }

private:
    std::vector<Entry> Entries(std::uint32_t offset, const std::string& what) {
        ByteReader r(section_, what, offset);
        r.Bytes(12);  // characteristics, time stamp, version
        std::uint32_t count = r.U16();
        count += r.U16();
        std::vector<Entry> entries;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t name = r.U32();
            std::uint32_t target = r.U32();
            Entry e{};
            if (name & HIGH_BIT) {
                ByteReader text(section_, what + " entry name", name & ~HIGH_BIT);
                std::uint16_t length = text.U16();
                e.name = ResourceName{false, 0, text.Chars(length)};
            } else {
                if (name > 0xFFFF) r.Fail("entry id " + std::to_string(name) + " does not fit 16 bits");
                e.name = ResourceName::Ordinal(static_cast<std::uint16_t>(name));
            }
            e.is_directory = (target & HIGH_BIT) != 0;
            e.offset = target & ~HIGH_BIT;
            entries.push_back(std::move(e));
        }
        return entries;
    }

    std::vector<std::uint8_t> Data(std::uint32_t offset, const std::string& what) {
        ByteReader r(section_, what + " data entry", offset);
        std::uint32_t rva = r.U32();
        std::uint32_t size = r.U32();
        auto bytes = image_.Map(rva, size, what);
        return {bytes.begin(), bytes.end()};
    }

    const Image& image_;
    std::span<const std::uint8_t> section_;
};

}  // namespace

std::string Describe(const ResourceName& name) {
    if (name.is_ordinal) return std::to_string(name.ordinal);
    std::string out = "\"";
    for (char16_t c : name.text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out + "\"";
}

std::vector<Resource> ReadResources(std::span<const std::uint8_t> bytes) {
    Image image(bytes);
    if (!image.has_resources()) return {};
    auto section = image.Map(image.resource_rva(), image.resource_size(), "resource directory");
    return DirectoryWalker(image, section).Walk();
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace qn38::rescheck
