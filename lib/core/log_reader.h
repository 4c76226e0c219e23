// Decoding a QN38.LOG file for support staff: the header's creation time and
// the ring's entries from the oldest to the newest.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qn38 {

struct LogEntry {
    std::uint32_t slot = 0;
    std::string text;  // ANSI bytes up to the slot's first zero, or all 200
};

struct DecodedLog {
    std::string created;  // the header's creation time, as written
    std::uint32_t nextSlot = 0;
    std::vector<LogEntry> entries;  // oldest first
    bool salvaged = false;          // read past a damaged header: entries in slot order
};

struct LogReadResult {
    std::optional<DecodedLog> log;
    std::string error;  // why the file is no log, when `log` is empty
};

// Never reads past `file`; bytes beyond the ring's 1,000,000 are ignored. A
// file too short for a header, without the marker, or with a next slot
// outside 1 to 4999 is refused with a message.
LogReadResult DecodeLog(std::span<const std::uint8_t> file);

// For a file whose header is damaged (the kind support is sent): every slot
// the file reaches that holds text, in slot order, since nothing tells the
// oldest. Only a file too short to hold one entry is refused.
LogReadResult SalvageLog(std::span<const std::uint8_t> file);

// The listing the reader prints: a heading with the creation time, then
// each entry under its slot number, line breaks as plain '\n'.
std::string RenderLog(const DecodedLog& log);

}  // namespace qn38
