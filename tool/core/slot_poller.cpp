// The slot poller: every 300 ms each slot's presence bit. A change goes to
// the window's thread, which runs the start flow or the removal; a slot
// without change is kept in line, and a link is only ever taken down here,
// never brought up: that is a start's alone.
#include "tool/core/main_window.h"
#include "tool/core/main_window_resources.h"
#include "tool/core/tool_ids.h"
#include "tool/core/tool_text.h"

namespace qn38::tool {

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
    // The poller's time is what it has slept: enough for the safety interval
    // between device looks, which needs no more than "at least so long".
    std::chrono::milliseconds now{0};
    std::vector<SlotRecord> records;
    records.reserve(m_nSlotCount);
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        const std::uint8_t bus = m_pSlotBus[index];
        std::uint32_t present = 0;
        ports_.slots.GetStatus(bus, &present);
        records.push_back(FirstRecord(present != 0, HasCardDevice(bus), IsSlotStopped(index), now));
    }
    std::uint32_t deviceChangesSeen = m_nDeviceChanges;
    std::uint32_t wakesSeen = m_nWakes;
    while (m_bPollRun != 0) {
        // Taken before the pass, so that a change announced during it is
        // looked at by the next one.
        const std::uint32_t deviceChanges = m_nDeviceChanges;
        const std::uint32_t wakes = m_nWakes;
        const bool woke = wakes != wakesSeen;
        // The pass after a wake runs even while nobody is back at the PC: a
        // bridge that lost its Link Disable would otherwise bring a stopped
        // card back, its volumes mounted, until the user returns.
        if (m_bPollEnabled != 0 && (woke || !ports_.system.IsSystemResumeAutomatic())) {
            if (PollPass(records, now, deviceChanges != deviceChangesSeen, woke)) {
                deviceChangesSeen = deviceChanges;
                wakesSeen = wakes;
            }
        }
        ports_.system.Sleep(POLL_INTERVAL_MS);
        now += std::chrono::milliseconds(POLL_INTERVAL_MS);
    }
}

bool CAboutDlg::PollPass(std::vector<SlotRecord>& records, std::chrono::milliseconds now, bool devicesChanged,
                         bool woke) {
    bool refreshIcon = false;
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        if (m_bPollRun == 0) return false;
        const std::uint8_t bus = m_pSlotBus[index];
        // Presence is the card's own doing, not another tool's, so it is read
        // before the slots' turn: most passes find the slot as they left it
        // and then need neither the turn (two calls to the session's lock
        // every 300 ms, in every logged-on user's tool) nor any other read.
        SlotObservation observation{.now = now, .devicesChanged = devicesChanged, .woke = woke};
        std::uint32_t present = 0;
        observation.answered = ports_.slots.GetStatus(bus, &present) != 0;
        observation.present = present != 0;
        observation.stopped = IsSlotStopped(index);
        const SlotRecord before = records[index];
        SlotActions actions = DecideSlot(records[index], observation);
        if (actions == SlotActions{} && records[index] == before) continue;
        records[index] = before;
        {
            // A glance, not a wait: while another holds the slot's turn the
            // pass still notices an insertion or a removal (whose flows take
            // their own turns), but changes nothing on what it read.
            SlotWork::Turn change(slotWork_, &m_bPollRun, SLOT_LOCK_GLANCE);
            // A flow that began while this pass ran takes the slots over now.
            if (change.ended() || m_bPollEnabled == 0) return false;
            const bool mayChange = change.proceed();
            // The stop mark may have been set while the turn was waited for.
            observation.stopped = IsSlotStopped(index);
            actions = DecideSlot(records[index], observation);
            if (actions.lookAtDevice) {
                char16_t description[DESCRIPTION_CHARACTERS] = {};
                CardDeviceView device;
                device.exists = ports_.slots.GetCardInfo(bus, description, sizeof description, &device.status,
                                                         &device.problem) != 0;
                // Presence stays on across a sleep: a card swapped meanwhile
                // shows only by its device's name.
                device.swapped = woke && index < m_suspendNames.size() &&
                                 DescriptionIn(description, DESCRIPTION_CHARACTERS) != m_suspendNames[index];
                observation.device = device;
                actions = DecideSlot(records[index], observation);
            }
            if (!mayChange) {
                // Without the turn only an event is taken from the decision;
                // the rest is decided again by the next pass.
                if (actions.event == SlotEvent::None) {
                    records[index] = before;
                    records[index].deviceStale = records[index].present;
                }
                actions.takeLinkDown = false;
                actions.refreshIcon = false;
            }
            if (actions.takeLinkDown) ports_.service.DisableLink(bus, DiskCheck::Skip);
        }
        refreshIcon = refreshIcon || actions.refreshIcon;
        if (actions.event == SlotEvent::None) continue;
        // The window stops handling slot events once it is ending; do not
        // start a send it would only drop.
        if (m_bPollRun == 0) return false;
        ports_.window.SendTrayNotify(actions.event == SlotEvent::Inserted ? SLOT_EVENT_INSERTED : SLOT_EVENT_REMOVED,
                                     index);
    }
    if (refreshIcon && m_bPollRun != 0) ports_.window.SendTrayNotify(TRAY_REFRESH_ICON, 0);
    return true;
}

}  // namespace qn38::tool
