// Popup menus opened from the tray icon. A chosen item does not come back
// from the call: it arrives afterwards as a command to the main window, the
// way TrackPopupMenu without TPM_RETURNCMD delivers it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qn38::tool {

struct MenuItem {
    std::uint32_t command = 0;
    std::u16string text;
};

class PopupMenus {
public:
    virtual ~PopupMenus() = default;
    // A popup built from `items` (possibly none), shown at the cursor.
    virtual void TrackItems(const std::vector<MenuItem>& items) = 0;
    // The first popup of the tool's menu resource, shown at the cursor.
    virtual void TrackMainMenu() = 0;
};

}  // namespace qn38::tool
