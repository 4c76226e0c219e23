// The slot poller: every 300 ms each slot's presence bit. A change goes to
// the window's thread, which runs the start flow or the removal; a slot
// without change is kept in line, and a link is only ever taken down here,
// never brought up: that is a start's alone.
#include "about_dlg.h"
#include "tool_ids.h"

namespace qn38::tool {
namespace {

// Consecutive passes a slot may fail to be read before it counts as empty.
constexpr std::uint32_t UNREADABLE_PASSES_FOR_REMOVAL = 2;
// Consecutive passes that find no device for a card that had one before the
// card counts as without one: a device scan that failed (Plug and Play busy)
// reads the same as a device that is gone.
constexpr std::uint32_t DEVICE_MISSES_FOR_LOSS = 2;

}  // namespace

void CAboutDlg::AwaitPoller() { AwaitWorker(m_pPollThread); }

void CAboutDlg::AwaitWorker(std::unique_ptr<WorkerThread>& slot) {
    // Taken out first: a message served during the wait (the session's end)
    // may await the same worker again, and finds nothing left to await.
    const std::unique_ptr<WorkerThread> worker = std::move(slot);
    if (!worker) return;
    if (!worker->WaitServingWindow(POLLER_END_WAIT)) {
        // The worker is stuck beyond any exchange's bound (a library call
        // that never returns). The window and everything the worker uses
        // go away now, so the process ends here rather than let it run on
        // them, or hang the user's Exit with the icon gone and the mutex held.
        ports_.system.EndProcess();
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
        state.hadDevice[index] = HasCardDevice(bus) ? 1 : 0;
        // A card without a device now was inserted after the start-up's
        // synchronisation (while a start-up prompt was open): the first pass
        // reports it as inserted, so that the start flow brings it up.
        if (state.current[index] != 0 && state.hadDevice[index] == 0) {
            state.previous[index] = 0;
        }
    }
    while (m_bPollRun != 0) {
        if (m_bPollEnabled != 0 && !ports_.system.IsSystemResumeAutomatic()) PollPass(state);
        ports_.system.Sleep(POLL_INTERVAL_MS);
    }
}

void CAboutDlg::PollPass(PollState& state) {
    bool devicesChanged = false;
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        if (m_bPollRun == 0) return;
        const std::uint8_t bus = m_pSlotBus[index];
        {
            // A glance, not a wait: while another holds the slot's turn the
            // pass still notices an insertion or a removal (whose flows take
            // their own turns), but changes nothing on what it read.
            SlotWork::Turn change(slotWork_, &m_bPollRun, SLOT_LOCK_GLANCE);
            // A flow that began while this pass ran takes the slots over now.
            if (change.ended() || m_bPollEnabled == 0) return;

            std::uint32_t present = 0;
            const int answered = ports_.slots.GetStatus(bus, &present);
            // A card whose device is still there reading as absent is as
            // likely a failed read of the slot register: its removal would
            // take the running card's link down.
            const bool doubtfulRemoval =
                answered != 0 && present == 0 && state.previous[index] != 0 && HasCardDevice(bus);
            if (answered == 0 || doubtfulRemoval) {
                // The slot bridge could not be read: the dump device may just
                // be held by the service for another request. Only a bridge
                // that stays silent counts as an empty slot.
                if (++state.unreadable[index] < UNREADABLE_PASSES_FOR_REMOVAL) continue;
            } else {
                state.unreadable[index] = 0;
            }
            state.current[index] = present;

            if (state.current[index] == state.previous[index]) {
                if (change.proceed() && KeepSlotInLine(index, state)) devicesChanged = true;
                continue;
            }
            state.previous[index] = state.current[index];
        }
        // The window stops handling slot events once it is ending; do not
        // start a send it would only drop.
        if (m_bPollRun == 0) return;
        const bool inserted = state.current[index] != 0;
        ports_.window.SendTrayNotify(inserted ? SLOT_EVENT_INSERTED : SLOT_EVENT_REMOVED, index);
        // A pulled card took its device along; an inserted one is confirmed
        // by the next pass that finds its device.
        if (!inserted) state.hadDevice[index] = 0;
        state.deviceMisses[index] = 0;
    }
    if (devicesChanged && m_bPollRun != 0) ports_.window.SendTrayNotify(TRAY_REFRESH_ICON, 0);
}

bool CAboutDlg::KeepSlotInLine(std::uint32_t index, PollState& state) {
    const std::uint8_t bus = m_pSlotBus[index];
    // A device exists only while the link is up, or while Plug and Play
    // still removes a stopped card's devices: either way there is nothing
    // to assert, and enabling the link here could bring back a card the
    // user has just been told to pull.
    if (HasCardDevice(bus)) {
        state.deviceMisses[index] = 0;
        if (state.hadDevice[index] != 0) return false;
        state.hadDevice[index] = 1;
        return true;
    }
    // A running card's link goes down only once a second pass confirms that
    // its device is gone.
    if (state.hadDevice[index] != 0 && ++state.deviceMisses[index] < DEVICE_MISSES_FOR_LOSS) return false;
    const bool lost = state.hadDevice[index] != 0;
    state.hadDevice[index] = 0;
    state.deviceMisses[index] = 0;
    ports_.service.DisableLink(bus, DiskCheck::Skip);
    return lost;
}

}  // namespace qn38::tool
