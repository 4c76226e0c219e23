#include "sim/machine/sim_slot.h"

#include <stdexcept>

#include "lib/core/pci_config.h"

namespace qn38::sim {

SimSlot::SimSlot(SimDevices& devices, SimStorage& storage, SimClock& clock, const Adapter& adapter)
    : devices_(devices), storage_(storage), clock_(clock), adapter_(adapter) {
    linkWasDisabled_ = LinkDisabled();
    devices_.Function(bus()).onWrite = [this](std::uint8_t offset, std::uint32_t value) {
        OnConfigWrite(offset, value);
    };
}

bool SimSlot::LinkDisabled() const { return (devices_.Register(bus(), CONFIG_LINK) & LINK_DISABLE) != 0; }

std::optional<DevNode> SimSlot::CardDevice() const {
    if (cardDevice_ && devices_.Exists(*cardDevice_)) return cardDevice_;
    return std::nullopt;
}

std::vector<DevNode> SimSlot::CardDisks() const {
    std::vector<DevNode> disks;
    const auto card = CardDevice();
    if (!card) return disks;
    for (DevNode disk : storage_.Disks()) {
        for (auto node = devices_.Parent(disk); node; node = devices_.Parent(*node)) {
            if (*node == *card) {
                disks.push_back(disk);
                break;
            }
        }
    }
    return disks;
}

CardSpec SerialCard() {
    return {.description = u"ExpressCard Serial Port (COM3)",
            .hardwareIds = {u"PCI\\VEN_1415&DEV_C11B&SUBSYS_C11B1415&REV_00", u"PCI\\VEN_1415&DEV_C11B"},
            .compatibleIds = {u"PCI\\CC_070002", u"PCI\\CC_0700"},
            .configId = 0xC11B1415};
}

SimSlot& SimSlot::InsertCard(const CardSpec& card) {
    if (card_) PullCard();
    card_ = card;
    keptFromRestart_ = false;
    devices_.Function(bus()).registers[CONFIG_SLOT] |= PRESENCE_DETECT;
    // A card that goes into a slot whose link is down sees the link come up
    // for the first time when it is enabled.
    linkWentDown_ = LinkDisabled();
    linkCycled_ = false;
    devicesDisabled_ = false;
    devicesCycled_ = false;
    trainingLeft_ = card.trainingReenumerations;
    linkUpAt_ = clock_.elapsedMilliseconds;
    UpdateCardFunction();
    return *this;
}

void SimSlot::PullCard() {
    card_.reset();
    keptFromRestart_ = false;
    devices_.Function(bus()).registers[CONFIG_SLOT] &= ~PRESENCE_DETECT;
    RemoveCardDevice();
    UpdateCardFunction();
}

void SimSlot::HoldCardForEject() {
    const auto card = CardDevice();
    if (!card) return;
    for (DevNode child : devices_.Children(*card)) devices_.RemoveDevice(child);
    devices_.Device(*card).status = {STATUS_PROBLEM, CM_PROB_HELD_FOR_EJECT_CODE};
    devices_.Device(*card).noRestart = true;
}

void SimSlot::OnRestart(DevNode node) {
    if (cardDevice_ != node) return;
    keptFromRestart_ = false;
    AddCardDisks();
}

void SimSlot::AddCardDisks() {
    for (DiskSpec disk : card_->disks) {
        disk.parent = *cardDevice_;
        storage_.AddDisk(disk);
    }
}

void SimSlot::OnReenumerate(DevNode node) {
    if (node == bridge()) Enumerate();
}

void SimSlot::OnStateChange(DevNode node, std::uint32_t stateChange) {
    if (node != bridge()) return;
    if (stateChange == DICS_PROPCHANGE_CODE) {
        // The bridge's stack stopped, its children with it, and started again.
        if (card_) devicesCycled_ = true;
        cardDevice_.reset();
        Enumerate();
    } else if (stateChange == DICS_DISABLE_CODE) {
        if (card_) devicesDisabled_ = true;
        cardDevice_.reset();  // went with the bridge's children
    } else if (stateChange == DICS_ENABLE_CODE) {
        if (devicesDisabled_) devicesCycled_ = true;
        // A bridge that starts enumerates its bus.
        Enumerate();
    }
}

void SimSlot::ResetLink() {
    std::uint32_t& link = devices_.Function(bus()).registers[CONFIG_LINK];
    link &= ~LINK_DISABLE;
    OnConfigWrite(CONFIG_LINK, link);
}

void SimSlot::OnConfigWrite(std::uint8_t offset, std::uint32_t value) {
    if (offset != CONFIG_LINK) return;
    const bool disabled = (value & LINK_DISABLE) != 0;
    if (disabled && !linkWasDisabled_ && card_) linkWentDown_ = true;
    if (disabled && !linkWasDisabled_) linkDownAt_ = clock_.elapsedMilliseconds;
    if (!disabled) removalPending_ = false;
    if (!disabled && linkWasDisabled_) {
        if (card_ && linkWentDown_) linkCycled_ = true;
        trainingLeft_ = card_ ? card_->trainingReenumerations : 0;
        linkUpAt_ = clock_.elapsedMilliseconds;
    }
    linkWasDisabled_ = disabled;
    UpdateCardFunction();
}

void SimSlot::Enumerate() {
    // A disabled bridge enumerates nothing.
    if (!devices_.Exists(bridge()) || devices_.Device(bridge()).status.problem == CM_PROB_DISABLED_CODE) return;
    if (CardDevice()) {
        // The link went down or the card went away: the device and all below
        // it go, once their stacks have closed.
        if (!card_ || LinkDisabled()) {
            if (card_ && clock_.elapsedMilliseconds - linkDownAt_ < card_->lingerMilliseconds) {
                removalPending_ = true;
                return;
            }
            RemoveCardDevice();
        }
        return;
    }
    if (!card_ || LinkDisabled()) return;
    if (card_->needsLinkCycle && !linkCycled_) return;
    if (card_->needsDeviceCycle && !devicesCycled_) return;
    if (trainingLeft_ > 0) {
        --trainingLeft_;
        return;
    }
    if (!CardAnswers()) return;
    const std::uint32_t cardBus = bus() + 1u;
    cardDevice_ = devices_.AddDevice({.parent = bridge(),
                                      .hardwareIds = card_->hardwareIds,
                                      .compatibleIds = card_->compatibleIds,
                                      .bus = cardBus,
                                      .description = card_->description,
                                      .surpriseRemovalOk = card_->surpriseRemovalOk});
    SimDevice& device = devices_.Device(*cardDevice_);
    if (keptFromRestart_) {
        device.status = {STATUS_PROBLEM, CM_PROB_HELD_FOR_EJECT_CODE};
        device.noRestart = true;
        return;
    }
    if (card_->problem != 0) {
        device.status = {STATUS_PROBLEM, card_->problem};
    } else if (card_->installMilliseconds != 0) {
        // The first time Windows sees the card: no driver yet.
        device.status = {STATUS_PROBLEM, CM_PROB_NOT_CONFIGURED_CODE};
        installingSince_ = clock_.elapsedMilliseconds;
    }
    AddCardDisks();
}

void SimSlot::OnClock() {
    UpdateCardFunction();
    if (removalPending_) Enumerate();
    if (installingSince_ && card_ && clock_.elapsedMilliseconds - *installingSince_ >= card_->installMilliseconds) {
        installingSince_.reset();
        if (const auto card = CardDevice()) devices_.Device(*card).status = {STATUS_RUNNING, 0};
    }
}

std::uint64_t SimSlot::LinkUpFor() const {
    if (LinkDisabled()) return 0;
    return clock_.elapsedMilliseconds - linkUpAt_;
}

bool SimSlot::LinkTrained() const { return card_ && !LinkDisabled() && LinkUpFor() >= card_->trainingMilliseconds; }

bool SimSlot::CardAnswers() const {
    return LinkTrained() && LinkUpFor() >= std::uint64_t{card_->trainingMilliseconds} + card_->answerMilliseconds;
}

// Whatever took the link or the card, Plug and Play sees the device gone by
// surprise; a devnode a program still holds a handle on lingers.
void SimSlot::RemoveCardDevice() {
    if (const auto card = CardDevice()) {
        if (card_ && devices_.Device(*card).noRestart) keptFromRestart_ = true;
        devices_.SurpriseRemove(*card);
        if (!devices_.Exists(*card)) cardDevice_.reset();
    } else {
        cardDevice_.reset();
    }
    removalPending_ = false;
    installingSince_.reset();
}

// The card's function is reached on the bus below the slot once its link has
// trained, and answers once it has initialised; the bridge's Link Status
// follows the link.
void SimSlot::UpdateCardFunction() {
    auto& link = devices_.Function(bus()).registers[CONFIG_LINK];
    link = LinkTrained() ? link | LINK_ACTIVE : link & ~LINK_ACTIVE;
    if (bus() == 0xFF) return;
    const std::uint8_t cardBus = static_cast<std::uint8_t>(bus() + 1);
    if (CardAnswers()) {
        devices_.Function(cardBus).registers[CONFIG_ID] = card_->configId;
    } else if (LinkTrained()) {
        devices_.Function(cardBus).registers[CONFIG_ID] = 0xFFFF0000u | VENDOR_ID_RETRY;
    } else {
        devices_.RemoveFunction(cardBus);
    }
}

SimSlots::SimSlots(SimDevices& devices, SimStorage& storage, SimClock& clock)
    : devices_(devices), storage_(storage), clock_(clock) {
    clock_.onAdvance = [this] {
        for (auto& slot : slots_) slot->OnClock();
    };
    devices_.onReenumerate = [this](DevNode node) {
        for (auto& slot : slots_) slot->OnReenumerate(node);
    };
    devices_.onRestart = [this](DevNode node) {
        for (auto& slot : slots_) slot->OnRestart(node);
    };
    devices_.onStateChange = [this](DevNode node, std::uint32_t stateChange) {
        // What the class installer does to any device: disabling stops it
        // and takes its children away; enabling starts it again.
        if (devices_.Exists(node)) {
            auto& device = devices_.Device(node);
            if (stateChange == DICS_DISABLE_CODE || stateChange == DICS_PROPCHANGE_CODE) {
                for (DevNode child : devices_.Children(node)) devices_.RemoveDevice(child);
            }
            if (stateChange == DICS_DISABLE_CODE) {
                device.status = {STATUS_PROBLEM, CM_PROB_DISABLED_CODE};
            } else if (stateChange == DICS_ENABLE_CODE && device.status.problem == CM_PROB_DISABLED_CODE) {
                device.status = {STATUS_RUNNING, 0};
            }
        }
        for (auto& slot : slots_) slot->OnStateChange(node, stateChange);
    };
}

SimSlot& SimSlots::Add(const AdapterSpec& spec) {
    const Adapter adapter = devices_.AddAdapter(spec);
    slots_.push_back(std::make_unique<SimSlot>(devices_, storage_, clock_, adapter));
    return *slots_.back();
}

SimSlot& SimSlots::At(std::uint8_t bus) {
    for (auto& slot : slots_) {
        if (slot->bus() == bus) return *slot;
    }
    throw std::out_of_range("no slot on this bus");
}

std::vector<SimSlot*> SimSlots::All() {
    std::vector<SimSlot*> slots;
    for (auto& slot : slots_) slots.push_back(slot.get());
    return slots;
}

}  // namespace qn38::sim
