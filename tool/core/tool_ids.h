// The window message, tray identifiers and command range of the main window,
// and the resource numbers its logic uses.
#pragma once

#include <cstdint>

namespace qn38::tool {

// WM_APP + 20: the shell's icon callbacks and the poller's slot events.
inline constexpr std::uint32_t WM_TRAY_NOTIFY = 0x8014;
// wParam of WM_TRAY_NOTIFY: which of its three uses.
inline constexpr std::uint32_t TRAY_ICON_ID = 11;
inline constexpr std::uint32_t SLOT_EVENT_INSERTED = 12;
inline constexpr std::uint32_t SLOT_EVENT_REMOVED = 13;
// From the poller: a card's device came or went outside any flow (Plug and
// Play removes a stopped card's devices some time after the stop), so the
// icon no longer shows what the slots hold. lParam unused.
inline constexpr std::uint32_t TRAY_REFRESH_ICON = 14;
// Posted by a flow's worker once its work on the slot is done: the window
// shows the outcome and begins the next flow. lParam unused.
inline constexpr std::uint32_t SLOT_FLOW_DONE = 15;

// The stop items of the left-click menu: one command per slot index.
inline constexpr std::uint32_t ID_STOP_SLOT_BASE = 32784;
inline constexpr std::uint32_t ID_STOP_SLOT_LAST = 33040;
// And the start items, for the slots whose card is stopped in the slot.
inline constexpr std::uint32_t ID_START_SLOT_BASE = 33041;
inline constexpr std::uint32_t ID_START_SLOT_LAST = 33296;

// wParam of WM_POWERBROADCAST: the PC goes to sleep; it resumed by itself
// (a timer, a wake device); and, once the user is back, by the user's hand.
inline constexpr std::uintptr_t PBT_APMSUSPEND_EVENT = 0x4;
inline constexpr std::uintptr_t PBT_APMRESUMESUSPEND_EVENT = 0x7;
inline constexpr std::uintptr_t PBT_APMRESUMEAUTOMATIC_EVENT = 0x12;

// Mouse messages the shell reports in lParam.
inline constexpr std::intptr_t WM_LBUTTONDOWN_MESSAGE = 0x201;
inline constexpr std::intptr_t WM_RBUTTONDOWN_MESSAGE = 0x204;
// And, once NIM_SETVERSION asked for version 3, the icon's selection
// (NIN_SELECT; NIN_KEYSELECT for Enter or Space) and its shortcut menu
// (WM_CONTEXTMENU: Shift+F10, the menu key, or after a right click).
inline constexpr std::intptr_t NIN_SELECT_MESSAGE = 0x400;
inline constexpr std::intptr_t NIN_KEYSELECT_MESSAGE = 0x401;
inline constexpr std::intptr_t WM_CONTEXTMENU_MESSAGE = 0x7B;

// SWP_SHOWWINDOW in a WINDOWPOS's flags.
inline constexpr std::uint32_t SWP_SHOWWINDOW_FLAG = 0x40;

}  // namespace qn38::tool
