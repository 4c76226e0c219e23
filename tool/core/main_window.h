// The tool's hidden main window: the tray icon and its menus, the slot list,
// the slot poller, the stop and start flows, and the About box it doubles as.
// The Win32 side only hosts it: it hands every message to these handlers.
// main_window.cpp holds the window's life and its commands, tray_icon.cpp the
// icon and its menus, slot_poller.cpp the poller, slot_flows.cpp the flows
// that change a slot.
#pragma once

#include <atomic>
#include <deque>
#include <optional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "lib/core/ports/device_io.h"
#include "lib/core/ports/device_tree.h"
#include "tool/core/ports/main_window.h"
#include "tool/core/ports/message_boxes.h"
#include "tool/core/ports/popup_menus.h"
#include "tool/core/ports/settings_dialog.h"
#include "tool/core/ports/shared_slot_lock.h"
#include "tool/core/ports/slot_queries.h"
#include "tool/core/ports/string_table.h"
#include "tool/core/ports/system_info.h"
#include "tool/core/ports/tray_shell.h"
#include "tool/core/ports/worker_thread.h"
#include "tool/core/service_client.h"
#include "tool/core/slot_state.h"
#include "tool/core/slot_work.h"

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
    // The start item of a stopped card: the start flow, as the user's own start.
    void OnStartSlot(std::uint32_t nID);

    // `holder`: who holds the card, named on a line of its own after the text.
    void UpdateTrayIcon(std::uint32_t iconId, std::uint32_t stringId, std::uint32_t infoFlags, const char16_t* name,
                        std::u16string_view holder = {});
    // True when the service holds the slot stopped.
    bool SyncSlot(std::uint8_t bus);
    // Whether the slot's card has a device (ZQ_GetCardInfo finds one).
    bool HasCardDevice(std::uint8_t bus);
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
    bool IsFlowRunning() const { return m_runningFlow.has_value(); }

private:
    bool NotifyWithRetries(TrayAction action, const NotifyIconRecord& record, int attempts);
    // Puts the icon (back) into the notification area with its current state.
    void AddTrayIcon(int attempts);
    // Adds the icon, or finds it there already.
    bool PutTrayIcon(const NotifyIconRecord& record, int attempts);
    // A flow that changes a slot. Its work runs on a worker, one flow at a
    // time, while the window goes on answering; the outcome comes back to
    // the window's thread by SLOT_FLOW_DONE, and only there reaches the tray.
    enum class FlowKind { Stop, Start, Removal };
    struct Flow {
        FlowKind kind = FlowKind::Stop;
        std::uint32_t index = 0;
        StartKind start = StartKind::Sync;
        bool operator==(const Flow&) const = default;
    };
    // The balloon of a flow's outcome: the string `succeeded` or `failed` with the card's name.
    void ShowOutcome(const SlotOutcome& outcome, std::uint32_t succeeded, std::uint32_t failed);
    void StartFlow(std::uint32_t index, StartKind kind = StartKind::Sync);
    void RemovalFlow(std::uint32_t index);
    // Begins the flow, or queues it behind the one that runs.
    void RunFlow(Flow flow);
    void BeginFlow(Flow flow);
    // The flow's work, on its worker; ends by posting SLOT_FLOW_DONE.
    void DoFlowWork(Flow flow, std::uint8_t bus);
    void OnFlowDone();
    // Waits for a worker's end while serving the window; a worker stuck past
    // any exchange's bound ends the process with it.
    void AwaitWorker(std::unique_ptr<WorkerThread>& worker);
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
    // One pass over every slot; false when it was cut short (a stop took the
    // slots over, or the window is ending), so that what it was to look at
    // is looked at by the next.
    bool PollPass(std::vector<SlotRecord>& records, std::chrono::milliseconds now, bool devicesChanged, bool woke);
    // Whether the slot's card was stopped by a stop and is still in the slot.
    bool IsSlotStopped(std::uint32_t index) const;
    // The icon resource that shows whether any slot's card has a device.
    std::uint32_t CardIcon();
    // ZQ_GetCardInfo for a card that is in the slot: a devnode a program
    // still holds after its card was pulled lingers, removal pending, and
    // is no card to show or to stop.
    bool CardInSlot(std::uint32_t index, char16_t* description, std::uint32_t descriptionBytes);

    ToolPorts ports_;
    SlotWork slotWork_;

    std::uint32_t m_nSlotCount = 0;
    std::vector<std::uint8_t> m_pSlotBus;
    // Per slot index: the card was stopped and is still in the slot, as this
    // tool's own stop or the service's answer says; read by the poller.
    std::unique_ptr<std::atomic<std::int32_t>[]> m_pSlotStopped;
    // Per slot index, the card's description as the suspend found it: a
    // card that went to sleep and a card that woke up are not always one.
    std::vector<std::u16string> m_suspendNames;
    // Written by the UI thread, read by the poller once per slot.
    std::atomic<std::int32_t> m_bPollRun{1};
    std::atomic<std::int32_t> m_bPollEnabled{1};
    // Counted by the window, read by the poller: device-change broadcasts
    // and resumes from sleep since the tool started.
    std::atomic<std::uint32_t> m_nDeviceChanges{0};
    std::atomic<std::uint32_t> m_nWakes{0};
    std::int32_t m_bVisible = 0;
    NotifyIconRecord m_nid;
    // Whether the shell holds our icon: while it does not, updates only try
    // to add it once each instead of spending the retry pauses.
    std::int32_t m_bIconShown = 0;
    // The button-down that last opened a menu, until the icon's next message.
    std::intptr_t m_nMenuPress = 0;
    std::unique_ptr<WorkerThread> m_pPollThread;
    SettingsDialog* m_pSettingsDlg = nullptr;
    // The window's thread alone touches these; the worker writes
    // m_flowOutcome before it posts its end, and the window reads it once
    // it has awaited the worker.
    std::optional<Flow> m_runningFlow;
    std::deque<Flow> m_flowQueue;
    std::unique_ptr<WorkerThread> m_pFlowThread;
    SlotOutcome m_flowOutcome;
};

}  // namespace qn38::tool
