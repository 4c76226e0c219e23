#include "disable_undo.h"

#include <algorithm>

namespace qn38::service {
namespace {

// The class installer's state changes, as the library reads them.
constexpr std::uint8_t STATE_ENABLE = 1;
constexpr std::uint8_t STATE_DISABLE = 2;

}  // namespace

std::chrono::milliseconds SteadyClock::Elapsed() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

DisableUndo::DisableUndo(ServiceOperations& operations, MonotonicClock& clock, std::chrono::milliseconds bound)
    : operations_(operations), clock_(clock), bound_(bound) {}

int DisableUndo::SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                           std::uint32_t checkDisks) {
    const int result = operations_.SetStatus(bus, stateChange, linkEnable, checkDisks);
    // The library reads each argument through its low 8 bits.
    const auto slot = static_cast<std::uint8_t>(bus);
    const auto change = static_cast<std::uint8_t>(stateChange);
    std::lock_guard lock(mutex_);
    if (change == STATE_ENABLE || change == STATE_DISABLE) {
        std::erase_if(outstanding_, [&](const Outstanding& entry) { return entry.bus == slot; });
    }
    // Whatever the result: a disable that failed after the installer ran
    // may have disabled some device all the same.
    if (change == STATE_DISABLE) {
        outstanding_.push_back({slot, static_cast<std::uint8_t>(linkEnable != 0 ? 1 : 0), clock_.Elapsed() + bound_});
    }
    return result;
}

std::optional<std::chrono::milliseconds> DisableUndo::TimeToNextUndo() {
    std::lock_guard lock(mutex_);
    if (outstanding_.empty()) return std::nullopt;
    const auto first = std::min_element(outstanding_.begin(), outstanding_.end(),
                                        [](const Outstanding& a, const Outstanding& b) { return a.due < b.due; });
    return std::max(first->due - clock_.Elapsed(), std::chrono::milliseconds{0});
}

void DisableUndo::UndoOverdue() { Undo(false); }

void DisableUndo::UndoAll() { Undo(true); }

void DisableUndo::Undo(bool all) {
    const auto now = clock_.Elapsed();
    std::vector<Outstanding> due;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(outstanding_, [&](const Outstanding& entry) {
            if (!all && entry.due > now) return false;
            due.push_back(entry);
            return true;
        });
    }
    for (const Outstanding& entry : due) operations_.SetStatus(entry.bus, STATE_ENABLE, entry.linkEnable, 0);
}

}  // namespace qn38::service
