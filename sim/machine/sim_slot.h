// The ExpressCard slot of the simulated PC: a card goes in and comes out,
// Presence Detect State follows it, and Link Disable behaves as the hardware
// does when Plug and Play looks at the slot's bus again.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine/sim_devices.h"
#include "sim/machine/sim_files.h"
#include "sim/machine/sim_storage.h"

namespace qn38::sim {

struct CardSpec {
    std::u16string description = u"ExpressCard SATA Controller";
    std::vector<std::u16string> hardwareIds = {u"PCI\\VEN_197B&DEV_2363&SUBSYS_2363197B&REV_03",
                                               u"PCI\\VEN_197B&DEV_2363"};
    std::vector<std::u16string> compatibleIds = {u"PCI\\CC_010601", u"PCI\\CC_0106"};
    std::uint32_t configId = 0x2363197B;  // the card function's 0x00, on the bus below the slot
    // Its driver set SurpriseRemovalOK: Windows ejects it rather than query-removing it.
    bool surpriseRemovalOk = false;
    // Re-enumerations with the link up before the card's device shows, like a
    // link that needs time to train; counted again each time the link comes up.
    int trainingReenumerations = 0;
    // Milliseconds on the simulated clock the link trains for after it
    // comes up; the bridge shows Data Link Layer Link Active from then on.
    std::uint32_t trainingMilliseconds = 0;
    // Milliseconds after the link has trained during which the card asks
    // for configuration reads to be retried (Vendor ID 0x0001). A scan, as
    // Windows' PCI bus driver makes it, finds the card only once it answers,
    // and nothing scans again by itself.
    std::uint32_t answerMilliseconds = 0;
    // Milliseconds after its devnode appears during which Windows installs
    // the card's driver (the devnode not configured yet) before it starts.
    std::uint32_t installMilliseconds = 0;
    // Shows only once the link has gone down and up again with the card in.
    bool needsLinkCycle = false;
    // Shows only once the slot bridge's stack was restarted (or the bridge
    // disabled and enabled) through the class installer with the card in.
    bool needsDeviceCycle = false;
    // Milliseconds on the simulated clock the card's devices stay in the tree
    // after its link went down, as Windows removes them only once their
    // stacks have closed; 0: gone at the re-enumeration that follows.
    std::uint32_t lingerMilliseconds = 0;
    // The problem code the card's device comes up with (0: it starts).
    std::uint32_t problem = 0;
    // Disks below the card's device (their parent is filled in when it appears).
    std::vector<DiskSpec> disks;
};

class SimSlot {
public:
    SimSlot(SimDevices& devices, SimStorage& storage, SimClock& clock, const Adapter& adapter);
    SimSlot(const SimSlot&) = delete;
    SimSlot& operator=(const SimSlot&) = delete;

    const Adapter& adapter() const { return adapter_; }
    std::uint8_t bus() const { return adapter_.slotBus; }
    DevNode bridge() const { return adapter_.slotBridge; }

    // Presence Detect State comes on; the card's device appears only when Plug
    // and Play re-enumerates the slot's bus with the link up.
    SimSlot& InsertCard(const CardSpec& card = {});
    // A surprise removal: presence goes off and the card's devnodes with
    // everything below them go at once.
    void PullCard();
    // Windows' own safe removal: the card's device stays with problem 47
    // (held for eject) until the card is pulled; its disks go.
    void HoldCardForEject();

    // The slot bridge comes back from a power loss (a resume from sleep that
    // Windows does not restore it from) with its Link Control register at
    // its reset value: Link Disable clear, so the card's link trains again.
    void ResetLink();

    bool CardInserted() const { return card_.has_value(); }
    bool LinkDisabled() const;
    // The card's devnode while Plug and Play has one.
    std::optional<DevNode> CardDevice() const;
    // The disks below the card's device (empty while it has none).
    std::vector<DevNode> CardDisks() const;

    // Hooks of the machine, dispatched by SimSlots.
    void OnReenumerate(DevNode node);
    void OnRestart(DevNode node);
    void OnStateChange(DevNode node, std::uint32_t stateChange);
    void OnConfigWrite(std::uint8_t offset, std::uint32_t value);
    void OnClock();

private:
    void Enumerate();
    void RemoveCardDevice();
    void AddCardDisks();
    void UpdateCardFunction();
    // Since the link came up, on the simulated clock (0 while it is down).
    std::uint64_t LinkUpFor() const;
    bool LinkTrained() const;
    bool CardAnswers() const;

    SimDevices& devices_;
    SimStorage& storage_;
    SimClock& clock_;
    Adapter adapter_;
    std::optional<CardSpec> card_;
    std::optional<DevNode> cardDevice_;
    bool linkWasDisabled_ = false;
    bool linkWentDown_ = false;  // since the insertion
    bool linkCycled_ = false;
    bool devicesDisabled_ = false;  // the slot bridge has been disabled since the insertion
    bool devicesCycled_ = false;
    int trainingLeft_ = 0;
    std::uint64_t linkUpAt_ = 0;  // on the simulated clock
    std::uint64_t linkDownAt_ = 0;
    bool removalPending_ = false;                   // the card's devices linger after the link went down
    std::optional<std::uint64_t> installingSince_;  // the card's devnode waits for its driver
    // The card's device went while kept from restarting and the card stayed
    // in: it comes back so, until it is reset or the card is pulled.
    bool keptFromRestart_ = false;
};

// A card whose function is a serial port, without a disk.
CardSpec SerialCard();

// Every slot of the machine, behind the tree's hooks.
class SimSlots {
public:
    SimSlots(SimDevices& devices, SimStorage& storage, SimClock& clock);
    SimSlots(const SimSlots&) = delete;
    SimSlots& operator=(const SimSlots&) = delete;

    // An adapter (root port, adapter function, slot bridge) with its slot model.
    SimSlot& Add(const AdapterSpec& spec = {});
    SimSlot& At(std::uint8_t bus);
    std::vector<SimSlot*> All();

private:
    SimDevices& devices_;
    SimStorage& storage_;
    SimClock& clock_;
    std::vector<std::unique_ptr<SimSlot>> slots_;
};

}  // namespace qn38::sim
