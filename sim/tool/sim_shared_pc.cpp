#include "sim/tool/sim_shared_pc.h"

namespace qn38::sim {

tool::LockWait SimSharedSlotLock::Acquire(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    if (nameTaken_) return tool::LockWait::Unavailable;
    if (squatted_) {
        lock.unlock();
        if (onSquattedWait) onSquattedWait(bound);
        return tool::LockWait::Busy;
    }
    const auto self = std::this_thread::get_id();
    if (depth_ > 0 && owner_ != self) {
        ++contentions_;
        if (!released_.wait_for(lock, bound, [&] { return depth_ == 0 || nameTaken_; }) || nameTaken_) {
            return tool::LockWait::Busy;
        }
    }
    owner_ = self;
    ++depth_;
    ++acquisitions_;
    return tool::LockWait::Held;
}

void SimSharedSlotLock::Release() {
    std::lock_guard lock(mutex_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return;
    if (--depth_ == 0) released_.notify_all();
}

void SimSharedSlotLock::Squat() {
    std::lock_guard lock(mutex_);
    squatted_ = true;
}

void SimSharedSlotLock::Unsquat() {
    std::lock_guard lock(mutex_);
    squatted_ = false;
}

void SimSharedSlotLock::TakeName(bool taken) {
    std::lock_guard lock(mutex_);
    nameTaken_ = taken;
    released_.notify_all();
}

int SimSharedSlotLock::Contentions() {
    std::lock_guard lock(mutex_);
    return contentions_;
}

int SimSharedSlotLock::Acquisitions() {
    std::lock_guard lock(mutex_);
    return acquisitions_;
}

SimSharedPc::SimSharedPc(SimPc& pc) : pc(pc), service(pc, machine) {
    slotLock.onSquattedWait = [this](std::chrono::milliseconds bound) {
        std::lock_guard lock(machine);
        this->pc.clock.Advance(static_cast<std::uint32_t>(bound.count()));
    };
    service.Start();
}

SimSharedPc::~SimSharedPc() { service.Stop(); }

}  // namespace qn38::sim
