// What the main window's parts share: the icon resources under the names
// the logic gives them, and the size of a card's description.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tool/res/resource.h"

namespace qn38::tool {

inline constexpr std::uint32_t ICON_CARD = IDR_MAINFRAME;
inline constexpr std::uint32_t ICON_BUSY = IDI_BUSY;
inline constexpr std::uint32_t ICON_NO_CARD = IDI_NO_CARD;

// ZQ_GetCardInfo's description buffer, in characters.
inline constexpr std::size_t DESCRIPTION_CHARACTERS = 260;

}  // namespace qn38::tool
