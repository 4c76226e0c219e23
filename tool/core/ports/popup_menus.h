// Popup menus opened from the tray icon. A chosen item does not come back
// from the call: it arrives afterwards as a command to the main window, the
// way TrackPopupMenu without TPM_RETURNCMD delivers it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qn38::tool {

enum class MenuOpening {
    AtCursor,      // a click: where the pointer is
    FromKeyboard,  // at the icon (the pointer may be anywhere), its first item selected
};

struct MenuItem {
    std::uint32_t command = 0;
    std::u16string text;
};

class PopupMenus {
public:
    virtual ~PopupMenus() = default;
    // A popup built from `items` (possibly none).
    virtual void TrackItems(const std::vector<MenuItem>& items, MenuOpening opening) = 0;
    // The first popup of the tool's menu resource.
    virtual void TrackMainMenu(MenuOpening opening) = 0;
};

}  // namespace qn38::tool
