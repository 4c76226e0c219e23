// The tool's string table: every text the user sees, in the language the
// resources are chosen in.
#pragma once

#include <cstdint>
#include <string>

namespace qn38::tool {

class StringTable {
public:
    virtual ~StringTable() = default;
    // LoadStringW; an absent string is the empty text.
    virtual std::u16string Load(std::uint32_t id) = 0;
};

}  // namespace qn38::tool
