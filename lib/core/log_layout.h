// The diagnostic log's file: 200-byte slots, slot 0 the header, slots 1 to
// 4999 a ring of entries. Shared by the writer and the reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "lib/include/QN38HotPlug.h"

namespace qn38 {

inline constexpr std::uint32_t LOG_FIRST_ENTRY_SLOT = 1;
inline constexpr std::uint64_t LOG_FILE_MAX_BYTES = std::uint64_t{LOG_SLOT_SIZE} * LOG_SLOT_COUNT;

// Slot 0, little-endian.
struct LogHeader {
    char marker[8];          // LOG_MARKER
    char created[20];        // "%04d/%02d/%02d %02d:%02d:%02d" and a zero byte
    std::uint32_t nextSlot;  // where the next entry goes, 1 to 4999
    std::uint8_t reserved[168];
};
static_assert(sizeof(LogHeader) == LOG_SLOT_SIZE);
static_assert(offsetof(LogHeader, marker) == 0);
static_assert(offsetof(LogHeader, created) == 8);
static_assert(offsetof(LogHeader, nextSlot) == 28);
static_assert(offsetof(LogHeader, reserved) == 32);

using LogSlot = std::array<std::uint8_t, LOG_SLOT_SIZE>;

LogSlot EncodeLogHeader(const LogHeader& header);
LogHeader DecodeLogHeader(const LogSlot& slot);

bool HasLogMarker(const LogHeader& header);
// A header the ring can go on from: our marker and a next slot of 1 to 4999.
bool IsUsableLogHeader(const LogHeader& header);

}  // namespace qn38
