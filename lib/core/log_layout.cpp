#include "lib/core/log_layout.h"

#include <cstring>

namespace qn38 {

LogSlot EncodeLogHeader(const LogHeader& header) {
    LogSlot slot{};
    std::memcpy(slot.data() + offsetof(LogHeader, marker), header.marker, sizeof header.marker);
    std::memcpy(slot.data() + offsetof(LogHeader, created), header.created, sizeof header.created);
    for (int i = 0; i < 4; ++i) {
        slot[offsetof(LogHeader, nextSlot) + i] = static_cast<std::uint8_t>(header.nextSlot >> (8 * i));
    }
    std::memcpy(slot.data() + offsetof(LogHeader, reserved), header.reserved, sizeof header.reserved);
    return slot;
}

LogHeader DecodeLogHeader(const LogSlot& slot) {
    LogHeader header{};
    std::memcpy(header.marker, slot.data() + offsetof(LogHeader, marker), sizeof header.marker);
    std::memcpy(header.created, slot.data() + offsetof(LogHeader, created), sizeof header.created);
    for (int i = 0; i < 4; ++i) {
        header.nextSlot |= static_cast<std::uint32_t>(slot[offsetof(LogHeader, nextSlot) + i]) << (8 * i);
    }
    std::memcpy(header.reserved, slot.data() + offsetof(LogHeader, reserved), sizeof header.reserved);
    return header;
}

bool HasLogMarker(const LogHeader& header) { return std::memcmp(header.marker, LOG_MARKER, sizeof LOG_MARKER) == 0; }

bool IsUsableLogHeader(const LogHeader& header) {
    // Slot 0 is the header itself: an entry sent there would be overwritten
    // by the header rewrite that follows it.
    return HasLogMarker(header) && header.nextSlot >= LOG_FIRST_ENTRY_SLOT && header.nextSlot < LOG_SLOT_COUNT;
}

}  // namespace qn38
