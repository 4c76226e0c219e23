// The tool's hidden main window: the tray icon and its menus, the slot list,
// the slot poller, the stop and start flows, and the About box it doubles as.
// The Win32 side only hosts it: it hands every message to these handlers.
// about_dlg.cpp holds the window's life and its commands, tray_icon.cpp the
// icon and its menus, slot_poller.cpp the poller, slot_flows.cpp the flows
// that change a slot.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/ports/device_io.h"
#include "core/ports/device_tree.h"
#include "ports/main_window.h"
#include "ports/message_boxes.h"
#include "ports/popup_menus.h"
#include "ports/settings_dialog.h"
#include "ports/shared_slot_lock.h"
#include "ports/slot_queries.h"
#include "ports/string_table.h"
#include "ports/system_info.h"
#include "ports/tray_shell.h"
#include "ports/worker_thread.h"
#include "service_client.h"
#include "slot_work.h"

namespace qn38::tool {

// Everything the main window reaches outside itself.
struct ToolPorts {
    SlotQueries& slots;
    ServiceClient& service;
    TrayShell& tray;
    StringTable& strings;
    PopupMenus& menus;
    MessageBoxes& messages;
    MainWindow& window;
    Threads& threads;
    SystemInfo& system;
    DeviceIo& drives;
    SettingsDialogs& settings;
    SharedSlotLock& slotLock;
};

inline constexpr std::uint32_t POLL_INTERVAL_MS = 300;
inline constexpr int TRAY_ATTEMPTS = 10;
inline constexpr std::uint32_t TRAY_RETRY_MS = 500;
// The poller notices the window's end between two slots; the longest it can
// be busy before that is one service exchange that is given up (connection
// attempts, the event and the reply's bound), with time for its own queries.
inline constexpr std::chrono::milliseconds POLLER_END_WAIT = SERVICE_CONNECT_PAUSE * SERVICE_CONNECT_ATTEMPTS +
                                                             SERVICE_EVENT_WAIT + SERVICE_REPLY_WAIT +
                                                             std::chrono::seconds(10);

// Enables the shutdown privilege and asks Windows to restart; nothing is
// reported when Windows refuses.
void RestartWindows(SystemInfo& system);

class CAboutDlg {
public:
    explicit CAboutDlg(const ToolPorts& ports);
    ~CAboutDlg();
    CAboutDlg(const CAboutDlg&) = delete;
    CAboutDlg& operator=(const CAboutDlg&) = delete;

    // WM_INITDIALOG: the start-up sequence. False when the user agreed to restart Windows.
    bool OnInitDialog();
    // IDOK and IDCANCEL of the About box: hide, never end.
    void OnOK();
    void OnCancel();
    // WM_DESTROY: icon removed, poller stopped and awaited, slot list freed.
    void OnDestroy();
    // WM_DEVICECHANGE, whatever the event: cards held for eject are handled as removed.
    std::intptr_t OnDeviceChange(std::uintptr_t wParam, std::intptr_t lParam);
    // WM_WINDOWPOSCHANGING: the window may show only as the About box.
    void OnWindowPosChanging(std::uint32_t& flags);
    // WM_POWERBROADCAST: one log line per broadcast.
    bool OnPowerBroadcast(std::uintptr_t wParam, std::intptr_t lParam);
    // WM_TRAY_NOTIFY: clicks on the icon and the poller's slot events.
    std::intptr_t OnTrayNotify(std::uintptr_t wParam, std::intptr_t lParam);
    // WM_COMMAND of a menu item; false for a command that is not the window's.
    bool OnCommand(std::uint32_t id);
    // The shell's "TaskbarCreated" broadcast: a new notification area, which
    // holds no icon of ours yet.
    void OnTaskbarCreated();

    void OnSettings();
    void OnAbout();
    void OnExit();
    void OnStopSlot(std::uint32_t nID);

    // `holder`: who holds the card, named on a line of its own after the text.
    void UpdateTrayIcon(std::uint32_t iconId, std::uint32_t stringId, std::uint32_t infoFlags, const char16_t* name,
                        std::u16string_view holder = {});
    void SyncSlot(std::uint8_t bus);
    // Whether the slot's card has a device (ZQ_GetCardInfo finds one).
    bool HasCardDevice(std::uint8_t bus);
    // Whether the card's device shows within a bounded wait.
    bool AwaitCardDevice(std::uint8_t bus);
    // The tray icon shows again whether any slot's card has a device, with
    // the balloon that is up left alone.
    void RefreshTrayIcon();
    // The poller's thread procedure; param is the CAboutDlg.
    static std::uint32_t PollSlotsThread(void* param);

    // For the hosts and the tests.
    std::uint32_t SlotCount() const { return m_nSlotCount; }
    std::span<const std::uint8_t> SlotBuses() const { return {m_pSlotBus.data(), m_nSlotCount}; }
    const NotifyIconRecord& TrayRecord() const { return m_nid; }
    bool IsVisible() const { return m_bVisible != 0; }
    bool IsPollerRunning() const { return m_pPollThread != nullptr; }
    bool IsPollEnabled() const { return m_bPollEnabled != 0; }
    bool IsTrayIconShown() const { return m_bIconShown != 0; }

private:
    struct PollState {
        std::uint32_t current[256] = {};
        std::uint32_t previous[256] = {};
        std::uint32_t unreadable[256] = {};  // consecutive passes the slot could not be read
        // Whether the card had a device when last confirmed, and the passes
        // since then that found none.
        std::uint32_t hadDevice[256] = {};
        std::uint32_t deviceMisses[256] = {};
    };
    bool NotifyWithRetries(TrayAction action, const NotifyIconRecord& record, int attempts);
    // Puts the icon (back) into the notification area with its current state.
    void AddTrayIcon(int attempts);
    // Adds the icon, or finds it there already.
    bool PutTrayIcon(const NotifyIconRecord& record, int attempts);
    // The balloon of a flow's outcome: the string `succeeded` or `failed` with the card's name.
    void ShowOutcome(const SlotOutcome& outcome, std::uint32_t succeeded, std::uint32_t failed);
    void StartFlow(std::uint32_t index);
    void RemovalFlow(std::uint32_t index);
    // Asks the notification area for NOTIFY_ICON_VERSION after an add.
    void SetTrayVersion();
    // WM_TRAY_NOTIFY from the icon: the mouse's and the keyboard's ways to its menus.
    void OnTrayIconMessage(std::intptr_t message);
    void ShowStopMenu(MenuOpening opening);
    bool ValidSlotIndex(std::intptr_t index) const {
        return index >= 0 && static_cast<std::uintptr_t>(index) < m_nSlotCount;
    }
    void EndSettingsDialog();
    void RunPoller();
    void AwaitPoller();
    void PollPass(PollState& state);
    // A pass's look at a slot whose presence did not change; true when the
    // slot's confirmed device state changed.
    bool KeepSlotInLine(std::uint32_t index, PollState& state);
    // The icon resource that shows whether any slot's card has a device.
    std::uint32_t CardIcon();

    ToolPorts ports_;
    SlotWork slotWork_;

    std::uint32_t m_nSlotCount = 0;
    std::vector<std::uint8_t> m_pSlotBus;
    // Written by the UI thread, read by the poller once per slot.
    std::atomic<std::int32_t> m_bPollRun{1};
    std::atomic<std::int32_t> m_bPollEnabled{1};
    std::int32_t m_bVisible = 0;
    NotifyIconRecord m_nid;
    // Whether the shell holds our icon: while it does not, updates only try
    // to add it once each instead of spending the retry pauses.
    std::int32_t m_bIconShown = 0;
    // The button-down that last opened a menu, until the icon's next message.
    std::intptr_t m_nMenuPress = 0;
    std::unique_ptr<WorkerThread> m_pPollThread;
    SettingsDialog* m_pSettingsDlg = nullptr;
};

}  // namespace qn38::tool
