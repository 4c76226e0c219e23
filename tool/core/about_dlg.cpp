#include "about_dlg.h"

#include "res/resource.h"
#include "tool_ids.h"
#include "tool_text.h"

namespace qn38::tool {
namespace {

// The resource numbers under the names the logic gives them.
constexpr std::uint32_t ICON_CARD = IDR_MAINFRAME;
constexpr std::uint32_t ICON_BUSY = IDI_BUSY;
constexpr std::uint32_t ICON_NO_CARD = IDI_NO_CARD;

constexpr std::size_t DESCRIPTION_CHARACTERS = 260;
constexpr std::size_t MENU_TEXT_CHARACTERS = 1023;  // what wsprintfW writes at most
constexpr std::uint32_t FIRST_DRIVE = 2;            // C:
constexpr std::uint32_t LAST_DRIVE = 25;            // Z:
// The start-up prompts belong to the hidden window: no taskbar button shows
// them, and at log-on other windows open over them while the slots wait.
constexpr std::uint32_t STARTUP_PROMPT_STYLE = MB_SETFOREGROUND_STYLE | MB_TOPMOST_STYLE;
// Consecutive passes a slot may fail to be read before it counts as empty.
constexpr std::uint32_t UNREADABLE_PASSES_FOR_REMOVAL = 2;
// How long, and in which steps, a start waits for the card's device before
// its next fallback: the link trains and Plug and Play enumerates the bus
// after the request has returned. Not the poll interval, whose sleeps mean
// a pass.
constexpr std::uint32_t CARD_DEVICE_WAIT_MS = 1000;
constexpr std::uint32_t CARD_DEVICE_STEP_MS = 100;

std::u16string Cut(std::u16string_view text, std::size_t characters) {
    return std::u16string(text.substr(0, characters));
}

}  // namespace

void RestartWindows(SystemInfo& system) {
    system.EnableShutdownPrivilege();
    system.ExitWindowsReboot();
}

CAboutDlg::CAboutDlg(const ToolPorts& ports) : ports_(ports) {}

CAboutDlg::~CAboutDlg() {
    // A host that never destroyed the window still must not leave the poller running.
    m_bPollRun = 0;
    AwaitPoller();
}

void CAboutDlg::AwaitPoller() {
    if (!m_pPollThread) return;
    if (!m_pPollThread->WaitServingWindow(POLLER_END_WAIT)) {
        // The poller is stuck beyond any exchange's bound (a library call
        // that never returns). The window and everything the poller uses
        // go away now, so the process ends here rather than let it run on
        // them, or hang the user's Exit with the icon gone and the mutex held.
        ports_.system.EndProcess();
    }
    m_pPollThread.reset();
}

bool CAboutDlg::OnInitDialog() {
    ports_.window.SetIcons(ICON_CARD);

    const auto architecture = ports_.system.NativeProcessorArchitecture();
    const OsVersion version = ports_.system.GetVersion();
    ports_.service.RequestWriteLog(StartBanner(version, ProcessorLabel(architecture)));

    if (const auto fileVersion = ports_.system.FileVersion()) {
        ports_.window.SetItemText(IDC_VERSION, u"Version " + *fileVersion);
    }

    const std::u16string title = ports_.strings.Load(IDS_APP_TITLE);
    m_nid = {};
    m_nid.uID = TRAY_ICON_ID;
    m_nid.uFlags = NIF_TRAY_FLAGS;
    m_nid.uCallbackMessage = WM_TRAY_NOTIFY;
    m_nid.iconId = ICON_BUSY;
    m_nid.szTip = Cut(title, TIP_CHARACTERS);
    m_nid.szInfoTitle = Cut(title, INFO_TITLE_CHARACTERS);
    // No icon of this window can be there yet: plain adds, as many as the
    // shell may need to come up at log-on.
    if (NotifyWithRetries(TrayAction::Add, m_nid, TRAY_ATTEMPTS)) m_bIconShown = 1;

    std::vector<std::uint8_t> found;
    for (std::uint32_t bus = 0; bus <= 0xFF; ++bus) {
        std::uint32_t present = 0;
        if (ports_.slots.GetStatus(bus, &present) != 0) found.push_back(static_cast<std::uint8_t>(bus));
    }

    if (!found.empty()) {
        m_nSlotCount = static_cast<std::uint32_t>(found.size());
        m_pSlotBus.assign(found.size(), 0);
        for (std::size_t index = 0; index < found.size(); ++index) {
            m_pSlotBus[index] = found[index];
            SyncSlot(found[index]);
        }

        if (ports_.slots.DoesExistNoFilterRootPort() != 0) {
            if (ports_.service.RequestAddFilter() < 1) {
                ports_.messages.Show(IDS_FILTER_NOT_REGISTERED, MB_ICONERROR_STYLE | STARTUP_PROMPT_STYLE);
            } else {
                ports_.service.RequestWriteLog(u"AddFilter");
                const int answer = ports_.messages.Show(
                    IDS_FILTER_REGISTERED, MB_YESNO_STYLE | MB_ICONEXCLAMATION_STYLE | STARTUP_PROMPT_STYLE);
                if (answer == IDYES_RESULT) {
                    RestartWindows(ports_.system);
                    return false;
                }
            }
        }

        m_pPollThread = ports_.threads.Begin([this] { PollSlotsThread(this); });
    }

    UpdateTrayIcon(ICON_CARD, 0, NIIF_NONE_FLAG, nullptr);
    return true;
}

void CAboutDlg::OnOK() {
    m_bVisible = 0;
    ports_.window.Show(false);
}

void CAboutDlg::OnCancel() {
    m_bVisible = 0;
    ports_.window.Show(false);
}

void CAboutDlg::OnDestroy() {
    ports_.tray.NotifyIcon(TrayAction::Delete, m_nid);
    m_bIconShown = 0;
    m_bPollRun = 0;
    AwaitPoller();
    m_pSlotBus.clear();
    m_nSlotCount = 0;
}

std::intptr_t CAboutDlg::OnDeviceChange(std::uintptr_t, std::intptr_t) {
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        std::uint32_t status = 0;
        std::uint32_t problem = 0;
        if (ports_.slots.GetCardInfo(m_pSlotBus[index], nullptr, 0, &status, &problem) != 0 &&
            problem == CM_PROB_HELD_FOR_EJECT_CODE) {
            OnTrayNotify(SLOT_EVENT_REMOVED, index);
        }
    }
    return 1;
}

void CAboutDlg::OnWindowPosChanging(std::uint32_t& flags) {
    if (m_bVisible != 0) {
        flags |= SWP_SHOWWINDOW_FLAG;
    } else {
        flags &= ~SWP_SHOWWINDOW_FLAG;
    }
}

bool CAboutDlg::OnPowerBroadcast(std::uintptr_t wParam, std::intptr_t lParam) {
    ports_.service.RequestWriteLog(PowerBroadcastLine(wParam, lParam));
    return true;
}

std::intptr_t CAboutDlg::OnTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) {
    if (wParam == TRAY_ICON_ID) {
        if (lParam == WM_LBUTTONDOWN_MESSAGE) {
            ShowStopMenu();
        } else if (lParam == WM_RBUTTONDOWN_MESSAGE) {
            ports_.menus.TrackMainMenu();
        }
        return 1;
    }
    // Once the window is ending the icon is gone and the poller is being
    // awaited: a slot event that still arrives from it is dropped.
    if (m_bPollRun == 0 || !ValidSlotIndex(lParam)) return 1;
    if (wParam == SLOT_EVENT_INSERTED) {
        StartFlow(static_cast<std::uint32_t>(lParam));
    } else if (wParam == SLOT_EVENT_REMOVED) {
        RemovalFlow(static_cast<std::uint32_t>(lParam));
    }
    return 1;
}

bool CAboutDlg::OnCommand(std::uint32_t id) {
    switch (id) {
    case ID_SETTINGS:
        OnSettings();
        return true;
    case ID_ABOUT:
        OnAbout();
        return true;
    case ID_EXIT:
        OnExit();
        return true;
    default:
        if (id >= ID_STOP_SLOT_BASE && id <= ID_STOP_SLOT_LAST) {
            OnStopSlot(id);
            return true;
        }
        return false;
    }
}

void CAboutDlg::OnTaskbarCreated() {
    // A window that is ending has removed its icon for good.
    if (m_bPollRun == 0) return;
    // Explorer restarted (or started late): the old icon went with it.
    m_bIconShown = 0;
    AddTrayIcon(TRAY_ATTEMPTS);
}

void CAboutDlg::AddTrayIcon(int attempts) {
    // The balloon belonged to the moment it was shown; the new icon carries
    // only what the icon shows now.
    NotifyIconRecord record = m_nid;
    record.szInfo.clear();
    record.dwInfoFlags = NIIF_NONE_FLAG;
    if (PutTrayIcon(record, attempts)) m_bIconShown = 1;
}

bool CAboutDlg::PutTrayIcon(const NotifyIconRecord& record, int attempts) {
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        // An add is refused for an icon the shell holds already (a broadcast
        // that came after the start-up's own add got through): the modify
        // then finds it.
        if (ports_.tray.NotifyIcon(TrayAction::Add, record)) return true;
        if (ports_.tray.NotifyIcon(TrayAction::Modify, record)) return true;
        if (attempt < attempts) ports_.system.Sleep(TRAY_RETRY_MS);
    }
    return false;
}

void CAboutDlg::EndSettingsDialog() {
    if (m_pSettingsDlg == nullptr) return;
    m_pSettingsDlg->EndDialog(IDCANCEL_RESULT);
    m_pSettingsDlg = nullptr;
}

void CAboutDlg::OnSettings() {
    EndSettingsDialog();
    m_bVisible = 0;
    ports_.window.Show(false);
    auto dialog = ports_.settings.Create();
    if (!dialog) return;
    m_pSettingsDlg = dialog.get();
    dialog->DoModal();
    // A Settings command chosen while this one ran has replaced it already.
    if (m_pSettingsDlg == dialog.get()) m_pSettingsDlg = nullptr;
}

void CAboutDlg::OnAbout() {
    EndSettingsDialog();
    m_bVisible = 1;
    ports_.window.Show(true);
    ports_.window.SetForeground();
}

void CAboutDlg::OnExit() {
    EndSettingsDialog();
    ports_.window.EndDialog(IDOK_RESULT);
}

void CAboutDlg::OnStopSlot(std::uint32_t nID) {
    if (nID < ID_STOP_SLOT_BASE) return;
    const std::uint32_t index = nID - ID_STOP_SLOT_BASE;
    if (index >= m_nSlotCount) return;
    const std::uint8_t bus = m_pSlotBus[index];

    m_bPollEnabled = 0;
    UpdateTrayIcon(ICON_BUSY, IDS_PLEASE_WAIT, NIIF_INFO_FLAG, nullptr);

    char16_t description[DESCRIPTION_CHARACTERS] = {};
    ports_.slots.GetCardInfo(bus, description, sizeof description, nullptr, nullptr);
    const std::u16string name(DescriptionIn(description, DESCRIPTION_CHARACTERS));

    int result = 0;
    {
        std::lock_guard lock(slotChange_);
        result = ports_.service.RequestSetStatus(bus, 0, 0, 1);
    }
    ports_.service.RequestWriteLog(LinkDisableLine(bus));

    if (result != 0) {
        UpdateTrayIcon(ICON_CARD, IDS_STOPPED, NIIF_INFO_FLAG, name.c_str());
    } else {
        UpdateTrayIcon(ICON_CARD, IDS_STOP_FAILED, NIIF_ERROR_FLAG, name.c_str());
    }
    m_bPollEnabled = 1;
}

void CAboutDlg::StartFlow(std::uint32_t index) {
    const std::uint8_t bus = m_pSlotBus[index];
    UpdateTrayIcon(ICON_BUSY, IDS_PLEASE_WAIT, NIIF_INFO_FLAG, nullptr);
    SyncSlot(bus);
    ports_.service.RequestWriteLog(LinkEnableLine(bus));

    char16_t description[DESCRIPTION_CHARACTERS] = {};
    const int exists = ports_.slots.GetCardInfo(bus, description, sizeof description, nullptr, nullptr);
    const std::u16string name(DescriptionIn(description, DESCRIPTION_CHARACTERS));
    if (exists != 0) {
        UpdateTrayIcon(ICON_CARD, IDS_STARTED, NIIF_INFO_FLAG, name.c_str());
    } else {
        UpdateTrayIcon(ICON_CARD, IDS_START_FAILED, NIIF_ERROR_FLAG, name.c_str());
    }
}

void CAboutDlg::RemovalFlow(std::uint32_t index) {
    {
        std::lock_guard lock(slotChange_);
        ports_.service.RequestSetStatus(m_pSlotBus[index], 0, 0, 0);
    }
    UpdateTrayIcon(ICON_CARD, 0, NIIF_NONE_FLAG, nullptr);
}

void CAboutDlg::ShowStopMenu() {
    const std::u16string format = ports_.strings.Load(IDS_STOP_ITEM);
    std::vector<MenuItem> items;
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        char16_t description[DESCRIPTION_CHARACTERS] = {};
        if (ports_.slots.GetCardInfo(m_pSlotBus[index], description, sizeof description, nullptr, nullptr) == 0) {
            continue;
        }
        const std::u16string name = CardName(DescriptionIn(description, DESCRIPTION_CHARACTERS));
        items.push_back({ID_STOP_SLOT_BASE + index, FormatWithText(format, name.c_str(), MENU_TEXT_CHARACTERS)});
    }
    ports_.menus.TrackItems(items);
}

void CAboutDlg::UpdateTrayIcon(std::uint32_t iconId, std::uint32_t stringId, std::uint32_t infoFlags,
                               const char16_t* name) {
    if (stringId == 0) {
        m_nid.szInfo.clear();
    } else {
        const char16_t* argument = name;
        if (name != nullptr && *name == 0) argument = DEFAULT_CARD_NAME.data();
        m_nid.szInfo = FormatWithText(ports_.strings.Load(stringId), argument, INFO_CHARACTERS);
    }
    m_nid.dwInfoFlags = infoFlags;

    std::uint32_t icon = iconId;
    if (iconId == ICON_CARD) {
        std::uint32_t cards = 0;
        for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
            if (ports_.slots.GetCardInfo(m_pSlotBus[index], nullptr, 0, nullptr, nullptr) != 0) ++cards;
        }
        if (cards == 0) icon = ICON_NO_CARD;
    }
    m_nid.iconId = icon;
    if (m_bIconShown == 0) {
        // No notification area holds the icon: one try to add it, without
        // pauses, in case the shell came up without a broadcast.
        if (PutTrayIcon(m_nid, 1)) m_bIconShown = 1;
        return;
    }
    // A shell that lost the icon in a restart refuses every modify until its
    // TaskbarCreated broadcast; the pauses are then spent only once.
    if (!NotifyWithRetries(TrayAction::Modify, m_nid, TRAY_ATTEMPTS)) m_bIconShown = 0;
}

bool CAboutDlg::NotifyWithRetries(TrayAction action, const NotifyIconRecord& record, int attempts) {
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (ports_.tray.NotifyIcon(action, record)) return true;
        // The shell may be busy, still starting (log-on) or restarting.
        if (attempt < attempts) ports_.system.Sleep(TRAY_RETRY_MS);
    }
    return false;
}

void CAboutDlg::SyncSlot(std::uint8_t bus) {
    std::uint32_t present = 0;
    if (ports_.slots.GetStatus(bus, &present) != 0) {
        auto& service = ports_.service;
        if (HasCardDevice(bus)) {
            service.RequestSetStatus(bus, 0, present != 0 ? 1 : 0, 0);
        } else if (present == 0) {
            service.RequestSetStatus(bus, 0, 0, 0);
        } else {
            // A card without a device: first a link cycle, then, if the card
            // still has not come up, a disable/enable of the bus's devices.
            service.RequestSetStatus(bus, 0, 0, 0);
            service.RequestSetStatus(bus, 0, 1, 0);
            if (!AwaitCardDevice(bus)) {
                service.RequestSetStatus(bus, 2, 1, 0);
                service.RequestSetStatus(bus, 1, 1, 0);
                AwaitCardDevice(bus);
            }
        }
    }

    // Asking each drive for its size makes Windows notice the volumes the
    // card brought or took away. A network drive is never the card's, and
    // its size query on an unreachable server would hold this thread (and
    // the poller waiting on it) for the network's timeout.
    const std::uint32_t drives = ports_.drives.LogicalDrives();
    for (std::uint32_t drive = FIRST_DRIVE; drive <= LAST_DRIVE; ++drive) {
        if ((drives & (1u << drive)) == 0) continue;
        const char16_t root[] = {static_cast<char16_t>(u'A' + drive), u':', u'\\', 0};
        if (ports_.drives.IsRemoteDrive(root)) continue;
        ports_.drives.TotalBytes(root);
    }
}

bool CAboutDlg::HasCardDevice(std::uint8_t bus) {
    return ports_.slots.GetCardInfo(bus, nullptr, 0, nullptr, nullptr) != 0;
}

bool CAboutDlg::AwaitCardDevice(std::uint8_t bus) {
    for (std::uint32_t waited = 0;; waited += CARD_DEVICE_STEP_MS) {
        if (HasCardDevice(bus)) return true;
        if (waited >= CARD_DEVICE_WAIT_MS) return false;
        ports_.system.Sleep(CARD_DEVICE_STEP_MS);
    }
}

std::uint32_t CAboutDlg::PollSlotsThread(void* param) {
    static_cast<CAboutDlg*>(param)->RunPoller();
    return 0;
}

void CAboutDlg::RunPoller() {
    PollState state;
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        const std::uint8_t bus = m_pSlotBus[index];
        ports_.slots.GetStatus(bus, &state.current[index]);
        state.previous[index] = state.current[index];
        // A card without a device now was inserted after the start-up's
        // synchronisation (while a start-up prompt was open): the first pass
        // reports it as inserted, so that the start flow brings it up.
        if (state.current[index] != 0 && !HasCardDevice(bus)) {
            state.previous[index] = 0;
        }
    }
    while (m_bPollRun != 0) {
        if (m_bPollEnabled != 0 && !ports_.system.IsSystemResumeAutomatic()) PollPass(state);
        ports_.system.Sleep(POLL_INTERVAL_MS);
    }
}

void CAboutDlg::PollPass(PollState& state) {
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        if (m_bPollRun == 0) return;
        const std::uint8_t bus = m_pSlotBus[index];
        std::unique_lock lock(slotChange_);
        // A stop that began while this pass ran takes the slots over now.
        if (m_bPollEnabled == 0) return;

        std::uint32_t present = 0;
        const int answered = ports_.slots.GetStatus(bus, &present);
        // A card whose device is still there reading as absent is as likely
        // a failed read of the slot register: its removal would take the
        // running card's link down.
        const bool doubtfulRemoval = answered != 0 && present == 0 && state.previous[index] != 0 && HasCardDevice(bus);
        if (answered == 0 || doubtfulRemoval) {
            // The slot bridge could not be read: the dump device may just be
            // held by the service for a request of the UI thread. Only a
            // bridge that stays silent counts as an empty slot.
            if (++state.unreadable[index] < UNREADABLE_PASSES_FOR_REMOVAL) continue;
        } else {
            state.unreadable[index] = 0;
        }
        state.current[index] = present;

        if (state.current[index] == state.previous[index]) {
            ports_.service.RequestSetStatus(bus, 0, HasCardDevice(bus) ? 1 : 0, 0);
            continue;
        }
        state.previous[index] = state.current[index];
        lock.unlock();
        // The window stops handling slot events once it is ending; do not
        // start a send it would only drop.
        if (m_bPollRun == 0) return;
        ports_.window.SendTrayNotify(state.current[index] != 0 ? SLOT_EVENT_INSERTED : SLOT_EVENT_REMOVED, index);
    }
}

}  // namespace qn38::tool
