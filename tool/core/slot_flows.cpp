// The window's flows that change a slot: the user's stop, the start of an
// inserted card (and of every slot at start-up), and the handling of a
// removal. The slot work itself is SlotWork's, which the command line
// shares; here is what the tray shows of it.
#include "about_dlg.h"
#include "main_window_resources.h"
#include "tool_ids.h"

namespace qn38::tool {

void CAboutDlg::ShowOutcome(const SlotOutcome& outcome, std::uint32_t succeeded, std::uint32_t failed) {
    if (outcome.succeeded) {
        UpdateTrayIcon(ICON_CARD, succeeded, NIIF_INFO_FLAG, outcome.description.c_str());
    } else {
        UpdateTrayIcon(ICON_CARD, failed, NIIF_ERROR_FLAG, outcome.description.c_str(), outcome.holder());
    }
}

void CAboutDlg::OnStopSlot(std::uint32_t nID) {
    if (nID < ID_STOP_SLOT_BASE) return;
    const std::uint32_t index = nID - ID_STOP_SLOT_BASE;
    if (index >= m_nSlotCount) return;

    m_bPollEnabled = 0;
    UpdateTrayIcon(ICON_BUSY, IDS_PLEASE_WAIT, NIIF_INFO_FLAG, nullptr);
    ShowOutcome(slotWork_.StopCard(m_pSlotBus[index]), IDS_STOPPED, IDS_STOP_FAILED);
    m_bPollEnabled = 1;
}

void CAboutDlg::StartFlow(std::uint32_t index) {
    UpdateTrayIcon(ICON_BUSY, IDS_PLEASE_WAIT, NIIF_INFO_FLAG, nullptr);
    ShowOutcome(slotWork_.StartCard(m_pSlotBus[index]), IDS_STARTED, IDS_START_FAILED);
}

void CAboutDlg::RemovalFlow(std::uint32_t index) {
    slotWork_.DropLink(m_pSlotBus[index]);
    UpdateTrayIcon(ICON_CARD, 0, NIIF_NONE_FLAG, nullptr);
}

void CAboutDlg::SyncSlot(std::uint8_t bus) { slotWork_.SyncSlot(bus); }

bool CAboutDlg::HasCardDevice(std::uint8_t bus) { return slotWork_.HasCardDevice(bus); }

bool CAboutDlg::AwaitCardDevice(std::uint8_t bus) { return slotWork_.AwaitCardDevice(bus); }

}  // namespace qn38::tool
