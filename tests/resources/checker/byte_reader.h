// Little-endian reads with bounds checks, shared by the PE reader and the
// resource decoders: a short or corrupt file becomes a FormatError, never a
// read past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "tests/resources/checker/pe_resources.h"

namespace qn38::rescheck {

class ByteReader {
public:
    ByteReader(std::span<const std::uint8_t> bytes, std::string what, std::size_t offset = 0)
        : bytes_(bytes), what_(std::move(what)), offset_(offset) {
        if (offset > bytes.size()) Fail("starts past its end");
    }

    std::size_t offset() const { return offset_; }
    std::size_t remaining() const { return bytes_.size() - offset_; }
    bool at_end() const { return offset_ == bytes_.size(); }

    void Seek(std::size_t offset) {
        if (offset > bytes_.size()) Fail("refers past its end (offset " + std::to_string(offset) + ")");
        offset_ = offset;
    }

    std::span<const std::uint8_t> Bytes(std::size_t count) {
        Need(count);
        auto out = bytes_.subspan(offset_, count);
        offset_ += count;
        return out;
    }

    std::uint8_t U8() { return Bytes(1)[0]; }

    std::uint16_t U16() {
        auto b = Bytes(2);
        return static_cast<std::uint16_t>(b[0] | b[1] << 8);
    }

    std::uint32_t U32() {
        auto b = Bytes(4);
        return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
               static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    }

    std::int16_t I16() { return static_cast<std::int16_t>(U16()); }

    // UTF-16 up to and including its NUL.
    std::u16string String() {
        std::u16string out;
        for (char16_t c; (c = static_cast<char16_t>(U16())) != 0;) out.push_back(c);
        return out;
    }

    std::u16string Chars(std::size_t count) {
        std::u16string out;
        for (std::size_t i = 0; i < count; ++i) out.push_back(static_cast<char16_t>(U16()));
        return out;
    }

    // Skips to the next multiple of `alignment`, counted from the start of the bytes.
    void Align(std::size_t alignment) {
        std::size_t aligned = (offset_ + alignment - 1) / alignment * alignment;
        Seek(aligned < bytes_.size() ? aligned : bytes_.size());
    }

    [[noreturn]] void Fail(const std::string& problem) const { throw FormatError(what_ + ": " + problem); }

private:
    void Need(std::size_t count) const {
        if (count > remaining())
            Fail("ends early (" + std::to_string(count) + " bytes wanted at offset " + std::to_string(offset_) + ", " +
                 std::to_string(remaining()) + " left)");
    }

    std::span<const std::uint8_t> bytes_;
    std::string what_;
    std::size_t offset_;
};

}  // namespace qn38::rescheck
