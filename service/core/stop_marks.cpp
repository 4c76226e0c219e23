#include "service/core/stop_marks.h"

#include <algorithm>

#include "service/ServiceRequest.h"

namespace qn38::service {

StopMarks::StopMarks(ServiceOperations& operations, SlotPresence& presence, Registry& registry)
    : operations_(operations), presence_(presence), registry_(registry) {
    std::lock_guard lock(mutex_);
    if (auto key = registry_.Open(RegistryRoot::LocalMachine, STOP_MARKS_KEY_PATH, KEY_ACCESS_READ)) {
        if (const auto value = key->Query(STOP_MARKS_VALUE); value && value->type == REG_BINARY_TYPE) {
            for (const std::uint8_t bus : value->data) {
                if (std::find(marked_.begin(), marked_.end(), bus) == marked_.end()) marked_.push_back(bus);
            }
        }
    }
    const std::size_t kept = marked_.size();
    DropLeftCards();
    if (marked_.size() != kept) Store();
}

bool StopMarks::IsMarked(std::uint8_t bus) {
    std::lock_guard lock(mutex_);
    return std::find(marked_.begin(), marked_.end(), bus) != marked_.end();
}

void StopMarks::DropLeftCards() {
    std::erase_if(marked_, [&](std::uint8_t bus) { return presence_.CardPresent(bus) == false; });
}

void StopMarks::Store() {
    // Without the key the marks hold for this run only; nothing else is lost.
    if (auto key = registry_.Open(RegistryRoot::LocalMachine, STOP_MARKS_KEY_PATH, KEY_ACCESS_ALL)) {
        key->Set(STOP_MARKS_VALUE, REG_BINARY_TYPE, marked_);
    }
}

int StopMarks::SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                         std::uint32_t checkDisks) {
    // As the library reads them: each field through its low 8 bits.
    const auto slot = static_cast<std::uint8_t>(bus);
    const auto change = static_cast<std::uint8_t>(stateChange);
    const bool linkUp = static_cast<std::uint8_t>(linkEnable) != SET_STATUS_LINK_DOWN;
    const auto check = static_cast<std::uint8_t>(checkDisks);

    std::lock_guard lock(mutex_);
    const std::size_t before = marked_.size();
    DropLeftCards();
    const auto mark = std::find(marked_.begin(), marked_.end(), slot);
    if (linkUp && check == SET_STATUS_EXPLICIT_START) {
        if (mark != marked_.end()) marked_.erase(mark);
        if (marked_.size() != before) Store();
        return operations_.SetStatus(bus, stateChange, linkEnable, SET_STATUS_NO_DISK_CHECK);
    }
    if (marked_.size() != before) Store();
    if (linkUp && mark != marked_.end()) {
        // The link goes down again rather than merely stays: a wake from
        // sleep, or a bridge reset, may have cleared Link Disable.
        const int down =
            operations_.SetStatus(bus, SET_STATUS_REENUMERATE, SET_STATUS_LINK_DOWN, SET_STATUS_NO_DISK_CHECK);
        return down != 0 ? SET_STATUS_HELD_STOPPED : 0;
    }
    const int result = operations_.SetStatus(bus, stateChange, linkEnable, checkDisks);
    const bool stop = change == SET_STATUS_REENUMERATE && !linkUp && check != SET_STATUS_NO_DISK_CHECK;
    if (stop && result != 0 && mark == marked_.end()) {
        marked_.push_back(slot);
        Store();
    }
    return result;
}

}  // namespace qn38::service
