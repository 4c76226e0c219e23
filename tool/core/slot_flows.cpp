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
        UpdateTrayIcon(ICON_CARD, failed, NIIF_ERROR_FLAG, outcome.description.c_str());
    }
}

void CAboutDlg::OnStopSlot(std::uint32_t nID) {
    if (nID < ID_STOP_SLOT_BASE) return;
    const std::uint32_t index = nID - ID_STOP_SLOT_BASE;
    if (index >= m_nSlotCount) return;

    m_bPollEnabled = 0;
    UpdateTrayIcon(ICON_BUSY, IDS_PLEASE_WAIT, NIIF_INFO_FLAG, nullptr);
    const SlotOutcome outcome = slotWork_.StopCard(m_pSlotBus[index]);
    if (outcome.succeeded) m_pSlotStopped[index] = 1;
    ShowOutcome(outcome, IDS_STOPPED, IDS_STOP_FAILED);
    // The stop changed the slot beneath the poller's record: its next pass looks.
    ++m_nDeviceChanges;
    m_bPollEnabled = 1;
}

void CAboutDlg::OnStartSlot(std::uint32_t nID) {
    if (nID < ID_START_SLOT_BASE) return;
    const std::uint32_t index = nID - ID_START_SLOT_BASE;
    if (index >= m_nSlotCount) return;
    // The poller leaves the slot alone meanwhile, as during a stop: its pass
    // would take the link down again before the card's device is up.
    m_bPollEnabled = 0;
    StartFlow(index, StartKind::Explicit);
    ++m_nDeviceChanges;
    m_bPollEnabled = 1;
}

void CAboutDlg::StartFlow(std::uint32_t index, StartKind kind) {
    UpdateTrayIcon(ICON_BUSY, IDS_PLEASE_WAIT, NIIF_INFO_FLAG, nullptr);
    const SlotOutcome outcome = slotWork_.StartCard(m_pSlotBus[index], kind);
    m_pSlotStopped[index] = outcome.heldStopped ? 1 : 0;
    // A card the user stopped did not fail to start: the busy balloon goes,
    // and no other comes.
    if (outcome.heldStopped) {
        UpdateTrayIcon(ICON_CARD, 0, NIIF_NONE_FLAG, nullptr);
        return;
    }
    ShowOutcome(outcome, IDS_STARTED, IDS_START_FAILED);
}

void CAboutDlg::RemovalFlow(std::uint32_t index) {
    m_pSlotStopped[index] = 0;
    slotWork_.DropLink(m_pSlotBus[index]);
    UpdateTrayIcon(ICON_CARD, 0, NIIF_NONE_FLAG, nullptr);
}

bool CAboutDlg::SyncSlot(std::uint8_t bus) { return slotWork_.SyncSlot(bus); }

bool CAboutDlg::HasCardDevice(std::uint8_t bus) { return slotWork_.HasCardDevice(bus); }

}  // namespace qn38::tool
