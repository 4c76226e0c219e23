// What the tools of every logged-on user share on one simulated PC: the
// machine and the lock every user of it holds, the one service, and the
// lock the tools take turns with (a named mutex in Windows' global
// namespace).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "tool/core/ports/shared_slot_lock.h"
#include "sim/machine/sim_pc.h"
#include "sim/service/sim_service.h"

namespace qn38::sim {

// Owned by a thread and taken again by its owner, as a Windows mutex is.
// Another thread's hold is waited for in real time, up to the bound; a hold
// by a local user who is not a tool (Squat) costs the bound on the machine's
// clock at once, as the service's hung waits do.
class SimSharedSlotLock final : public tool::SharedSlotLock {
public:
    tool::LockWait Acquire(std::chrono::milliseconds bound) override;
    void Release() override;

    // Another program holds the lock and never lets it go, until Unsquat.
    void Squat();
    void Unsquat();
    // Another program took the name for an object the tools cannot open.
    void TakeName(bool taken);
    // Called with the bound of every wait a squatter made useless.
    std::function<void(std::chrono::milliseconds)> onSquattedWait;
    // How often a tool found the lock held by another thread and waited.
    int Contentions();
    // How often a tool was given the lock.
    int Acquisitions();

private:
    std::mutex mutex_;
    std::condition_variable released_;
    std::thread::id owner_;
    int depth_ = 0;
    bool squatted_ = false;
    bool nameTaken_ = false;
    int contentions_ = 0;
    int acquisitions_ = 0;
};

class SimSharedPc {
public:
    // The service starts as Windows starts it, before any tool.
    explicit SimSharedPc(SimPc& pc);
    ~SimSharedPc();
    SimSharedPc(const SimSharedPc&) = delete;
    SimSharedPc& operator=(const SimSharedPc&) = delete;

    SimPc& pc;
    std::mutex machine;
    SimService service;
    SimSharedSlotLock slotLock;
};

}  // namespace qn38::sim
