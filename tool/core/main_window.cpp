#include "tool/core/main_window.h"

#include "tool/core/main_window_resources.h"
#include "tool/core/tool_ids.h"
#include "tool/core/tool_text.h"

namespace qn38::tool {
namespace {

// The start-up prompts belong to the hidden window: no taskbar button shows
// them, and at log-on other windows open over them while the slots wait.
constexpr std::uint32_t STARTUP_PROMPT_STYLE = MB_SETFOREGROUND_STYLE | MB_TOPMOST_STYLE;

std::u16string Cut(std::u16string_view text, std::size_t characters) {
    return std::u16string(text.substr(0, characters));
}

}  // namespace

void RestartWindows(SystemInfo& system) {
    system.EnableShutdownPrivilege();
    system.ExitWindowsReboot();
}

CAboutDlg::CAboutDlg(const ToolPorts& ports)
    : ports_(ports), slotWork_({ports.slots, ports.service, ports.slotLock, ports.system, ports.drives}, &m_bPollRun) {}

CAboutDlg::~CAboutDlg() {
    // A host that never destroyed the window still must not leave its workers running.
    m_bPollRun = 0;
    AwaitPoller();
    AwaitWorker(m_pFlowThread);
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
    if (NotifyWithRetries(TrayAction::Add, m_nid, TRAY_ATTEMPTS)) {
        m_bIconShown = 1;
        SetTrayVersion();
    }

    std::vector<std::uint8_t> found;
    for (std::uint32_t bus = 0; bus <= 0xFF; ++bus) {
        std::uint32_t present = 0;
        if (ports_.slots.GetStatus(bus, &present) != 0) found.push_back(static_cast<std::uint8_t>(bus));
    }

    if (!found.empty()) {
        m_nSlotCount = static_cast<std::uint32_t>(found.size());
        m_pSlotBus.assign(found.size(), 0);
        m_pSlotStopped = std::make_unique<std::atomic<std::int32_t>[]>(found.size());
        for (std::size_t index = 0; index < found.size(); ++index) {
            m_pSlotBus[index] = found[index];
            // A card another session's user stopped stays stopped.
            m_pSlotStopped[index] = SyncSlot(found[index]) ? 1 : 0;
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
    // A flow that still runs stops waiting for its turn now; what it
    // posts at its end finds no window, and its outcome is not shown.
    AwaitWorker(m_pFlowThread);
    m_runningFlow.reset();
    m_flowQueue.clear();
    m_pSlotBus.clear();
    m_nSlotCount = 0;
}

std::intptr_t CAboutDlg::OnDeviceChange(std::uintptr_t, std::intptr_t) {
    // Whatever the event: any of them may mean a card's device came or went.
    ++m_nDeviceChanges;
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        // A stop leaves the card's devices held for eject too, from its
        // removal until they are gone: that card is this tool's to report.
        const bool stopping = m_runningFlow && m_runningFlow->kind == FlowKind::Stop && m_runningFlow->index == index;
        if (stopping || IsSlotStopped(index)) continue;
        std::uint32_t status = 0;
        std::uint32_t problem = 0;
        if (ports_.slots.GetCardInfo(m_pSlotBus[index], nullptr, 0, &status, &problem) != 0 &&
            problem == CM_PROB_HELD_FOR_EJECT_CODE) {
            OnTrayNotify(SLOT_EVENT_REMOVED, index);
        }
    }
    return 1;
}

bool CAboutDlg::IsSlotStopped(std::uint32_t index) const { return m_pSlotStopped && m_pSlotStopped[index] != 0; }

void CAboutDlg::OnWindowPosChanging(std::uint32_t& flags) {
    if (m_bVisible != 0) {
        flags |= SWP_SHOWWINDOW_FLAG;
    } else {
        flags &= ~SWP_SHOWWINDOW_FLAG;
    }
}

bool CAboutDlg::OnPowerBroadcast(std::uintptr_t wParam, std::intptr_t lParam) {
    ports_.service.RequestWriteLog(PowerBroadcastLine(wParam, lParam));
    // While the PC slept cards may have been pulled, put in or swapped, and
    // the slot bridge may have lost its Link Disable. Windows sends the
    // automatic resume, then the user's one once someone is back; either may
    // come alone, and the slots are brought in line once for both.
    if (wParam == PBT_APMSUSPEND_EVENT) {
        m_suspendNames.clear();
        for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
            m_suspendNames.push_back(slotWork_.CardDescription(m_pSlotBus[index]));
        }
    }
    if (wParam == PBT_APMRESUMEAUTOMATIC_EVENT || wParam == PBT_APMRESUMESUSPEND_EVENT) ++m_nWakes;
    return true;
}

std::intptr_t CAboutDlg::OnTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) {
    if (wParam == TRAY_ICON_ID) {
        OnTrayIconMessage(lParam);
        return 1;
    }
    // Once the window is ending the icon is gone and the poller is being
    // awaited: a slot event that still arrives from it is dropped.
    if (m_bPollRun == 0) return 1;
    if (wParam == TRAY_REFRESH_ICON) {
        RefreshTrayIcon();
        return 1;
    }
    if (wParam == SLOT_FLOW_DONE) {
        OnFlowDone();
        return 1;
    }
    if (!ValidSlotIndex(lParam)) return 1;
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
        if (id >= ID_START_SLOT_BASE && id <= ID_START_SLOT_LAST) {
            OnStartSlot(id);
            return true;
        }
        return false;
    }
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

}  // namespace qn38::tool
