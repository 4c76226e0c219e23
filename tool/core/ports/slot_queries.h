// The library's three read-only queries, which the tool calls itself on both
// of its threads (everything that changes the system goes to the service).
#pragma once

#include <cstdint>

namespace qn38::tool {

class SlotQueries {
public:
    virtual ~SlotQueries() = default;
    // ZQ_GetStatus: nonzero when a slot bridge of the adapter sits on `bus`;
    // *present is 1 while a card is in the slot.
    virtual int GetStatus(std::uint32_t bus, std::uint32_t* present) = 0;
    // ZQ_GetCardInfo: nonzero when the card device below the slot bridge exists.
    virtual int GetCardInfo(std::uint32_t bus, char16_t* description, std::uint32_t descriptionBytes,
                            std::uint32_t* status, std::uint32_t* problem) = 0;
    // ZQ_DoesExistNoFilterRootPort: nonzero when a root port of the adapter lacks the filter.
    virtual int DoesExistNoFilterRootPort() = 0;
};

}  // namespace qn38::tool
