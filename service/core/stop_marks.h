// A stop holds until the card leaves the slot or the user starts it again.
// A tool that starts (another user's log-on, a restart of the tool) brings
// every slot in line with its card, the service's own clean-up enables
// devices, a wake from sleep may bring the link back: none of them knows
// that the user was told the card may be pulled. The service remembers each
// stop and keeps the link of a stopped slot down, whoever asks.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "lib/core/ports/registry.h"
#include "service/core/ports/operations.h"
#include "service/core/ports/slot_presence.h"

namespace qn38::service {

// Where the marks outlive the service's process (a crash, the recovery's
// restart, a reboot while the card stays in): the service's own key, which
// its installer creates and only administrators and the system may change.
inline constexpr char16_t STOP_MARKS_KEY_PATH[] = u"SYSTEM\\CurrentControlSet\\Services\\QN38HotPlugService";
// REG_BINARY, one byte per marked slot: its bus number.
inline constexpr char16_t STOP_MARKS_VALUE[] = u"StoppedSlots";
inline constexpr std::uint32_t REG_BINARY_TYPE = 3;

// The service's operations with the stop marks in front of them: every
// request, the clean-up's included, passes here before the library.
class StopMarks final : public ServiceOperations {
public:
    // Reads the marks kept by the service's last run and drops those whose
    // card has left since.
    StopMarks(ServiceOperations& operations, SlotPresence& presence, Registry& registry);

    int AddFilter() override { return operations_.AddFilter(); }
    int SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                  std::uint32_t checkDisks) override;
    int SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) override {
        return operations_.SetSize(defLen, startAdrs, endAdrs);
    }
    int WriteLog(const char* title) override { return operations_.WriteLog(title); }
    std::uint32_t LastError() override { return operations_.LastError(); }
    // Every request reaches the library, so its veto is this request's.
    std::optional<StopVeto> LastVeto() override { return operations_.LastVeto(); }

    bool IsMarked(std::uint8_t bus);

private:
    // Drops the marks of slots whose card has left; a slot that cannot be
    // read keeps its mark.
    void DropLeftCards();
    void Store();

    ServiceOperations& operations_;
    SlotPresence& presence_;
    Registry& registry_;
    // Held across each request, so no other instance's request comes between
    // the look at a mark and the operation it decides.
    std::mutex mutex_;
    std::vector<std::uint8_t> marked_;
};

}  // namespace qn38::service
