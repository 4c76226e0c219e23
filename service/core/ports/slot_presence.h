// Whether a card sits in a slot, as the slot bridge's Presence Detect State
// bit says (ZQ_GetStatus).
#pragma once

#include <cstdint>
#include <optional>

namespace qn38::service {

class SlotPresence {
public:
    virtual ~SlotPresence() = default;
    // Nothing when the bus holds no slot bridge of the adapter, or it cannot be read.
    virtual std::optional<bool> CardPresent(std::uint8_t bus) = 0;
};

}  // namespace qn38::service
