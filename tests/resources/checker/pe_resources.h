// Reads the resource section of a Windows PE file (32- or 64-bit) on any host,
// so the built program's resources can be compared with what they must hold
// without running Windows.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace qn38::rescheck {

// Anything in the file that does not follow the format: a bad signature, an
// offset or a length that leaves the file, a directory entry of the wrong kind.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A resource type or name: an ordinal, or a string (stored upper-case by the
// resource compiler and compared as such).
struct ResourceName {
    bool is_ordinal = true;
    std::uint16_t ordinal = 0;
    std::u16string text;

    static ResourceName Ordinal(std::uint16_t value) { return {true, value, {}}; }
    bool operator==(const ResourceName&) const = default;
};

std::string Describe(const ResourceName& name);

struct Resource {
    ResourceName type;
    ResourceName name;
    std::uint16_t language = 0;
    std::vector<std::uint8_t> data;
};

// Every resource of the image, in directory order (type, name, language).
std::vector<Resource> ReadResources(std::span<const std::uint8_t> image);

std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

}  // namespace qn38::rescheck
