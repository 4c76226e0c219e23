// The window's flows that change a slot: the user's stop, the start of an
// inserted card (and of every slot at start-up), and the handling of a
// removal. The slot work itself is SlotWork's, which the command line
// shares; here is what the tray shows of it.
#include "tool/core/main_window.h"
#include "tool/core/main_window_resources.h"
#include "tool/core/tool_ids.h"

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
    // A menu picked just before the window began to end changes nothing.
    if (index >= m_nSlotCount || m_bPollRun == 0) return;
    RunFlow({FlowKind::Stop, index});
}

void CAboutDlg::OnStartSlot(std::uint32_t nID) {
    if (nID < ID_START_SLOT_BASE) return;
    const std::uint32_t index = nID - ID_START_SLOT_BASE;
    if (index >= m_nSlotCount || m_bPollRun == 0) return;
    StartFlow(index, StartKind::Explicit);
}

void CAboutDlg::StartFlow(std::uint32_t index, StartKind kind) { RunFlow({FlowKind::Start, index, kind}); }

void CAboutDlg::RemovalFlow(std::uint32_t index) { RunFlow({FlowKind::Removal, index}); }

void CAboutDlg::RunFlow(Flow flow) {
    if (!m_runningFlow) {
        BeginFlow(flow);
        return;
    }
    // Each device-change broadcast of a card held for eject asks for its
    // removal again; one queued is enough.
    for (const Flow& queued : m_flowQueue) {
        if (queued == flow) return;
    }
    m_flowQueue.push_back(flow);
}

void CAboutDlg::BeginFlow(Flow flow) {
    // The poller leaves the slots to the flow until it has ended.
    m_bPollEnabled = 0;
    if (flow.kind != FlowKind::Removal) UpdateTrayIcon(ICON_BUSY, IDS_PLEASE_WAIT, NIIF_INFO_FLAG, nullptr);
    m_runningFlow = flow;
    const std::uint8_t bus = m_pSlotBus[flow.index];
    // Off the window's thread: a flow can wait for its turn, for a service
    // busy with another session, and for Plug and Play, which asks this
    // very window whether the card's devices may go.
    m_pFlowThread = ports_.threads.BeginFlow([this, flow, bus] { DoFlowWork(flow, bus); });
    // No thread could be had: the flow runs here, as the only way left.
    if (!m_pFlowThread) DoFlowWork(flow, bus);
}

void CAboutDlg::DoFlowWork(Flow flow, std::uint8_t bus) {
    SlotOutcome outcome;
    switch (flow.kind) {
    case FlowKind::Stop:
        outcome = slotWork_.StopCard(bus);
        break;
    case FlowKind::Start:
        outcome = slotWork_.StartCard(bus, flow.start);
        break;
    case FlowKind::Removal:
        slotWork_.DropLink(bus);
        break;
    }
    m_flowOutcome = std::move(outcome);
    ports_.window.PostTrayNotify(SLOT_FLOW_DONE, 0);
}

void CAboutDlg::OnFlowDone() {
    if (!m_runningFlow) return;
    // The worker posted as its last act: its end is at hand.
    AwaitWorker(m_pFlowThread);
    // The session's end, served while the worker was awaited, ended the window.
    if (!m_runningFlow || m_bPollRun == 0) return;
    const Flow flow = *m_runningFlow;
    m_runningFlow.reset();
    switch (flow.kind) {
    case FlowKind::Stop:
        if (m_flowOutcome.succeeded) m_pSlotStopped[flow.index] = 1;
        ShowOutcome(m_flowOutcome, IDS_STOPPED, IDS_STOP_FAILED);
        break;
    case FlowKind::Start:
        m_pSlotStopped[flow.index] = m_flowOutcome.heldStopped ? 1 : 0;
        // A card the user stopped did not fail to start: the busy balloon
        // goes, and no other comes.
        if (m_flowOutcome.heldStopped) {
            UpdateTrayIcon(ICON_CARD, 0, NIIF_NONE_FLAG, nullptr);
        } else {
            ShowOutcome(m_flowOutcome, IDS_STARTED, IDS_START_FAILED);
        }
        break;
    case FlowKind::Removal:
        m_pSlotStopped[flow.index] = 0;
        UpdateTrayIcon(ICON_CARD, 0, NIIF_NONE_FLAG, nullptr);
        break;
    }
    // The flow changed the slot beneath the poller's record: its next pass looks.
    ++m_nDeviceChanges;
    if (m_flowQueue.empty()) {
        m_bPollEnabled = 1;
        return;
    }
    const Flow next = m_flowQueue.front();
    m_flowQueue.pop_front();
    BeginFlow(next);
}

bool CAboutDlg::SyncSlot(std::uint8_t bus) {
    // On the window's thread at start-up: a slot whose turn does not come
    // at once is left to the poller's first pass.
    return slotWork_.SyncSlot(bus, StartKind::Sync, SLOT_LOCK_GLANCE);
}
bool CAboutDlg::HasCardDevice(std::uint8_t bus) { return slotWork_.HasCardDevice(bus); }

}  // namespace qn38::tool
