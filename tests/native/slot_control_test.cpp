// Stopping and starting the slot: the volume test, the link register and
// what Plug and Play is asked to do afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "lib/core/constants.h"
#include "lib/core/pci_config.h"
#include "lib/core/slot_control.h"
#include "sim/machine/sim_pc.h"

namespace qn38 {
namespace {

using sim::GIB;

constexpr std::uint8_t kBus = 5;

class SlotControl : public ::testing::Test {
protected:
    SlotControl() {
        pc.storage.AddSystemDisk();
        pc.devices.AddOrdinaryDevices(8);
        slot.InsertCard({.disks = {{.volumes = {{'E', 32 * GIB}, {'F', 0}}}}});
        pc.devices.Reenumerate(slot.bridge());
        pc.counters() = {};
        pc.devices.dump().requests.clear();
        logStart = pc.devices.reenumerated().size();
    }

    int Stop(std::uint32_t checkDisks = 1) { return SetStatus(pc.platform(), kBus, 0, 0, checkDisks); }
    int Start(std::uint32_t stateChange = 0) { return SetStatus(pc.platform(), kBus, stateChange, 1, 0); }

    std::uint32_t Link() { return pc.devices.Register(kBus, CONFIG_LINK); }
    std::vector<std::uint32_t> LinkWrites() {
        std::vector<std::uint32_t> values;
        for (const auto& bytes : pc.devices.dump().requests) {
            const auto request = DecodeConfigAccess(bytes.data());
            if (request.offset == CONFIG_LINK && request.value != 0) values.push_back(request.value);
        }
        return values;
    }
    bool Reenumerated(DevNode node) {
        const auto& log = pc.devices.reenumerated();
        return std::find(log.begin() + logStart, log.end(), node) != log.end();
    }

    sim::SimPc pc;
    sim::SimSlot& slot = pc.AddSlot({.slotBus = kBus});
    std::size_t logStart = 0;  // re-enumerations before the test's own calls
};

// ---- the volume test

TEST_F(SlotControl, SmokeStopTakesTheCardAndItsVolumesAway) {
    ASSERT_TRUE(slot.CardDevice());
    EXPECT_EQ(Stop(), 1);
    EXPECT_TRUE(slot.LinkDisabled());
    EXPECT_FALSE(slot.CardDevice());
    EXPECT_FALSE(pc.storage.HasVolume('E'));
    EXPECT_EQ(pc.io.LogicalDrives() & 1u << ('E' - 'A'), 0u);
}

TEST_F(SlotControl, StopIsRefusedWhileAFileOnTheCardIsOpen) {
    pc.storage.OpenFileOn('E');
    for (const std::uint32_t checkDisks : {1u, 0u}) {
        RemovalVeto veto;
        EXPECT_EQ(SetStatus(pc.platform(), kBus, 0, 0, checkDisks, &veto), 0);
        EXPECT_FALSE(slot.LinkDisabled());
        EXPECT_TRUE(LinkWrites().empty());
        EXPECT_TRUE(slot.CardDevice());
        // Plug and Play still looks at the bus.
        EXPECT_TRUE(Reenumerated(slot.bridge()));
        // Windows named the disk whose volume is in use.
        EXPECT_EQ(veto.type, PNP_VETO_OUTSTANDING_OPEN);
        EXPECT_EQ(VetoHolder(pc.devices, veto), u"Disk drive");
    }
    // The removal asked, so no lock was tried and nothing waited.
    EXPECT_EQ(pc.storage.Volume('E').lockAttempts, 0u);
    EXPECT_TRUE(pc.clock.pauses.empty());
}

TEST_F(SlotControl, ALockRefusedWhileAHandleClosesSucceedsOnTheNextTry) {
    pc.storage.Volume('E').handlesClosingOnLock = 1;
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_DISABLE_CODE, 1, 0), 1);
    EXPECT_EQ(pc.clock.pauses, std::vector<std::uint32_t>{500});
}

TEST_F(SlotControl, TheCardsDevicesAreRemovedAndItsVolumesFlushedBeforeTheLinkDrops) {
    auto& function = pc.devices.Function(kBus);
    const auto hardware = function.onWrite;
    bool cardRemovedAtTheWrite = false;
    function.onWrite = [&](std::uint8_t offset, std::uint32_t value) {
        cardRemovedAtTheWrite = !pc.storage.HasVolume('E') && slot.CardDisks().empty();
        hardware(offset, value);
    };
    pc.storage.Volume('E').explorerWindows = 1;  // Explorer closes its window when asked
    EXPECT_EQ(Stop(), 1);
    EXPECT_TRUE(cardRemovedAtTheWrite);
    EXPECT_EQ(pc.counters().queryRemoves, 1u);
    EXPECT_EQ(pc.counters().flushes, 1u);  // E:; F: holds no medium
    EXPECT_EQ(pc.counters().opens, pc.counters().closes);
}

TEST_F(SlotControl, ARefusedStopLocksNothingAndBringsBackWhatWasRemoved) {
    // A second function of the card, after the first, whose terminal program keeps its port.
    const DevNode serial = pc.devices.AddDevice({.parent = slot.bridge(), .hardwareIds = {u"PCI\\VEN_1415&DEV_C11B"}});
    pc.devices.Hold(serial, {.program = u"ttermpro.exe"});
    RemovalVeto veto;
    EXPECT_EQ(SetStatus(pc.platform(), kBus, 0, 0, 1, &veto), 0);
    EXPECT_EQ(veto.name, pc.devices.Device(serial).instancePath);
    EXPECT_FALSE(slot.LinkDisabled());
    // The first function is running again, its volume back.
    EXPECT_EQ(pc.devices.Status(*slot.CardDevice())->problem, 0u);
    ASSERT_TRUE(pc.storage.HasVolume('E'));
    const auto& volume = pc.storage.Volume('E');
    EXPECT_EQ(volume.locks, 0u);
    EXPECT_FALSE(volume.locked);
    EXPECT_EQ(volume.openHandles, 0);
    // Once the program lets go, the stop goes through.
    pc.devices.Release(serial, u"ttermpro.exe");
    EXPECT_EQ(Stop(), 1);
}

TEST_F(SlotControl, AFailedLinkWriteBringsTheRemovedDevicesBack) {
    pc.devices.dump().refuseWrites = true;
    EXPECT_EQ(Stop(), 0);
    ASSERT_TRUE(slot.CardDevice());
    EXPECT_EQ(pc.devices.Status(*slot.CardDevice())->problem, 0u);
    EXPECT_TRUE(pc.storage.HasVolume('E'));
    EXPECT_EQ(pc.counters().resets, 1u);
}

TEST_F(SlotControl, ACardHeldForEjectOrEjectableIsNotQueryRemoved) {
    slot.HoldCardForEject();
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(pc.counters().queryRemoves + pc.counters().ejects, 0u);
    // A driver that set SurpriseRemovalOK is ejected instead.
    slot.PullCard();
    slot.InsertCard({.surpriseRemovalOk = true, .disks = {{.volumes = {{'E', 32 * GIB}}}}});
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(pc.counters().ejects, 1u);
    EXPECT_EQ(pc.counters().queryRemoves, 0u);
}

TEST_F(SlotControl, AnIdleDisableOfAnEmptySlotScansNoVolumes) {
    slot.PullCard();
    pc.devices.Function(kBus).registers[CONFIG_LINK] |= LINK_DISABLE;
    pc.counters() = {};
    EXPECT_EQ(Stop(0), 1);
    EXPECT_EQ(pc.counters().deviceSets, 1u);  // the bus's devices, for the re-enumeration
    EXPECT_EQ(pc.counters().driveQueries, 0u);
}

TEST_F(SlotControl, OnlyADriveThatSaysItHoldsNoMediumIsPassedOver) {
    // F: cannot be flushed, as it holds no medium.
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(pc.storage.lostWrites(), 0u);
}

TEST_F(SlotControl, AVolumeOfTheCardThatCannotBeReadOrReachedRefusesTheStop) {
    // Without a file system the PC can read its size is unknown, yet it is in use.
    const DevNode disk = pc.storage.AddDisk({.parent = *slot.CardDevice(), .volumes = {{'R', 4 * GIB, {}, true}}});
    pc.storage.OpenFileOn('R');
    EXPECT_EQ(Stop(), 0);
    pc.storage.CloseFileOn('R');
    // Locked by a disk imager: it cannot be opened, so it cannot be told apart.
    ASSERT_TRUE(pc.storage.LockByProgram(pc.storage.Volume('E')));
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(pc.counters().queryRemoves, 1u);
    EXPECT_FALSE(slot.LinkDisabled());
    pc.storage.UnlockByProgram(pc.storage.Volume('E'));
    EXPECT_EQ(Stop(), 1);
    EXPECT_FALSE(pc.storage.HasDisk(disk));
}

TEST_F(SlotControl, WritesTheDriveAcknowledgedReachTheMediumBeforeItsPowerGoes) {
    slot.PullCard();
    slot.InsertCard({.disks = {{.volumes = {{'E', 32 * GIB}}, .writeBackCache = true}}});
    Start();
    pc.storage.WriteTo(pc.storage.Volume('E'));
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(pc.storage.lostWrites(), 0u);
    // Pulled without a stop, the cache is lost with the power.
    Start();
    pc.storage.WriteTo(pc.storage.Volume('E'));
    slot.PullCard();
    EXPECT_EQ(pc.storage.lostWrites(), 1u);
}

TEST_F(SlotControl, AnOpticalDriveOfTheCardCountsLikeADisk) {
    pc.storage.AddDisk({.parent = *slot.CardDevice(), .volumes = {{'K', 700u << 20}}, .optical = true});
    pc.storage.OpenFileOn('K');
    EXPECT_EQ(Stop(), 0);
    pc.storage.CloseFileOn('K');
    EXPECT_EQ(Stop(), 1);
    EXPECT_FALSE(pc.storage.HasVolume('K'));
}

TEST_F(SlotControl, VolumesElsewhereAreNeverLocked) {
    pc.storage.AddUsbStick('G');
    pc.storage.OpenFileOn('G');
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(pc.storage.Volume('G').lockAttempts, 0u);
    EXPECT_EQ(pc.storage.Volume('C').lockAttempts, 0u);
}

TEST_F(SlotControl, ACardVolumeThatCannotBeOpenedForWritingRefusesTheStop) {
    pc.storage.Volume('E').refuseReadWriteOpen = true;
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(slot.LinkDisabled());
}

TEST_F(SlotControl, AVolumeThatWillNotUnlockIsGivenBackByTheClose) {
    pc.storage.AddDisk({.parent = *slot.CardDevice(), .volumes = {{'H', 4 * GIB}}});
    pc.storage.OpenFileOn('H');
    pc.storage.Volume('E').refuseUnlock = true;
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(pc.storage.Volume('E').locked);
}

TEST_F(SlotControl, ACdRomWithTheCardsDiskNumberDoesNotBlock) {
    pc.storage.AddCdRom('K', pc.storage.Disk(slot.CardDisks().front()).number);
    pc.storage.OpenFileOn('K');
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(pc.storage.Volume('K').lockAttempts, 0u);
}

TEST_F(SlotControl, TheCheckUsesTheLowEightBitsOfTheBusToo) {
    pc.storage.OpenFileOn('E');
    EXPECT_EQ(SetStatus(pc.platform(), 0x100 | kBus, 0, 0, 1), 0);
    EXPECT_FALSE(slot.LinkDisabled());
}

TEST_F(SlotControl, EveryDiskOfTheCardIsTested) {
    pc.storage.AddDisk({.parent = *slot.CardDevice(), .volumes = {{'H', 4 * GIB}}});
    pc.storage.OpenFileOn('H');
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(slot.LinkDisabled());
}

TEST_F(SlotControl, EveryVolumeOfTheCardIsTestedWhateverItsMountPoints) {
    // A user may letter a card's volume B:, mount one in a folder of C:, or
    // leave one unmounted for a program that opens it by its GUID path.
    const DevNode disk = pc.storage.AddDisk(
        {.parent = *slot.CardDevice(), .volumes = {{'B', 4 * GIB}, {0, 4 * GIB, u"C:\\Card"}, {0, 4 * GIB}}});
    ASSERT_EQ(pc.storage.VolumeInFolder(u"c:\\card\\"), pc.storage.VolumeNamed(pc.storage.Disk(disk).volumes[1]));
    std::vector<sim::SimVolume*> volumes;
    for (const auto& name : pc.storage.Disk(disk).volumes) volumes.push_back(pc.storage.VolumeNamed(name));
    for (sim::SimVolume* volume : volumes) {
        pc.storage.OpenFileOn(*volume);
        EXPECT_EQ(Stop(0), 0);
        EXPECT_FALSE(slot.LinkDisabled());
        pc.storage.CloseFileOn(*volume);
    }
    // The stop that succeeds has Plug and Play take the disk and its volumes away.
    EXPECT_EQ(Stop(0), 1);
    EXPECT_FALSE(pc.storage.HasDisk(disk));
}

TEST_F(SlotControl, ADiskThatMayBeTheCardsButCannotBeIdentifiedRefusesTheStop) {
    // Without its devnode any disk may be the card's.
    const auto system = pc.storage.Disks().front();
    pc.storage.Disk(system).interfaceStatus = InterfaceStatus::Skip;
    EXPECT_EQ(Stop(), 0);
    pc.storage.Disk(system).interfaceStatus = InterfaceStatus::Ok;
    // The card's own disk that will not tell its number, or cannot be opened.
    auto& card = pc.storage.Disk(slot.CardDisks().front());
    card.failNumberQuery = true;
    EXPECT_EQ(Stop(), 0);
    card.failNumberQuery = false;
    card.refuseOpen = true;
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(slot.LinkDisabled());
    EXPECT_EQ(pc.storage.lockAttempts(), 0u);
    // A disk known to be elsewhere in the machine does not matter.
    card.refuseOpen = false;
    pc.storage.Disk(pc.storage.AddUsbStick('G')).failNumberQuery = true;
    EXPECT_EQ(Stop(), 1);
}

TEST_F(SlotControl, WithoutTheVolumeListOrTheBridgesIdentityTheStopIsRefused) {
    pc.io.failVolumeList = true;
    EXPECT_EQ(Stop(0), 0);
    pc.io.failVolumeList = false;
    pc.devices.FailProperty(slot.bridge(), SPDRP_HARDWARE_IDS, PropertyStatus::Failed);
    EXPECT_EQ(Stop(0), 0);
    EXPECT_FALSE(slot.LinkDisabled());
}

TEST_F(SlotControl, TheIdentityIsCheckedBeforeAnyVolumeIsTouched) {
    // Every PCI disk of the machine has an ancestor on bus 0.
    EXPECT_EQ(SetStatus(pc.platform(), 0, 0, 0, 1), 0);
    pc.devices.Function(kBus).registers[CONFIG_SUBSYSTEM] = 0x00001234;
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(pc.storage.lockAttempts(), 0u);
    EXPECT_EQ(pc.counters().volumeLists, 0u);
}

TEST_F(SlotControl, OnlyDisksBelowTheSlotBridgeAreTheCards) {
    // Another function that shares the slot's bus number, with a disk in use.
    const DevNode other = pc.devices.AddDevice({.hardwareIds = {u"PCI\\VEN_8086&DEV_2822"}, .bus = kBus});
    pc.storage.AddDisk({.parent = other, .volumes = {{'H', 4 * GIB}}});
    pc.storage.OpenFileOn('H');
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(pc.storage.Volume('H').lockAttempts, 0u);
}

TEST_F(SlotControl, WithoutTheListOfDisksTheStopIsRefused) {
    pc.devices.diskInterfaces = [](StorageInterfaceKind) { return std::unique_ptr<DiskInterfaceSet>(); };
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(slot.LinkDisabled());
    EXPECT_TRUE(Reenumerated(slot.bridge()));
}

TEST_F(SlotControl, TheVolumeTestHoldsNothingOpen) {
    Stop();
    EXPECT_EQ(pc.counters().opens, pc.counters().closes);
    EXPECT_EQ(pc.counters().deviceSets, pc.counters().deviceSetsDestroyed);
}

// ---- the link register

TEST_F(SlotControl, StopOnADisabledLinkWritesNothingAndStillReenumerates) {
    pc.devices.Function(kBus).registers[CONFIG_LINK] |= LINK_DISABLE;
    EXPECT_EQ(Stop(), 1);
    EXPECT_TRUE(LinkWrites().empty());
    EXPECT_TRUE(Reenumerated(slot.bridge()));
}

TEST_F(SlotControl, StartWithTheLinkUpWritesNothing) {
    EXPECT_EQ(Start(), 1);
    EXPECT_TRUE(LinkWrites().empty());
    EXPECT_TRUE(Reenumerated(slot.bridge()));
}

TEST_F(SlotControl, TheLinkStatusHalfIsWrittenBackAsRead) {
    pc.devices.Function(kBus).registers[CONFIG_LINK] = 0x5A5A0003;
    EXPECT_EQ(Stop(0), 1);
    EXPECT_EQ(LinkWrites(), std::vector<std::uint32_t>{0x5A5A0013});

    pc.devices.dump().requests.clear();
    pc.devices.Function(kBus).registers[CONFIG_LINK] = 0xA5A50013;
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(LinkWrites(), std::vector<std::uint32_t>{0xA5A50003});
}

TEST_F(SlotControl, ALinkChangeCostsFiveAccessesAndAnIdleOneThree) {
    EXPECT_EQ(Stop(0), 1);
    EXPECT_EQ(pc.devices.dump().requests.size(), 5u);
    pc.devices.dump().requests.clear();
    EXPECT_EQ(Stop(0), 1);
    EXPECT_EQ(pc.devices.dump().requests.size(), 3u);
    EXPECT_FALSE(pc.devices.dump().heldOpen);
}

TEST_F(SlotControl, AnotherBridgeIsNeverTouched) {
    pc.devices.Function(kBus).registers[CONFIG_SUBSYSTEM] = 0x00001234;
    EXPECT_EQ(Stop(), 0);
    pc.devices.Function(kBus).registers[CONFIG_SUBSYSTEM] = ADAPTER_SUBSYSTEM_ID;
    pc.devices.Function(kBus).registers[CONFIG_ID] = 0x02E41217;
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(SetStatus(pc.platform(), 9, 0, 0, 0), 0);  // nothing on that bus
    EXPECT_TRUE(LinkWrites().empty());
    EXPECT_TRUE(Reenumerated(slot.bridge()));
}

TEST_F(SlotControl, WithoutTheDumpDriverNothingChanges) {
    pc.devices.dump().installed = false;
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Start(), 0);
    EXPECT_FALSE(slot.LinkDisabled());
    EXPECT_EQ(pc.counters().reenumerations, 2u);
}

TEST_F(SlotControl, ARefusedWriteOrReadBackFails) {
    pc.devices.dump().refuseWrites = true;
    EXPECT_EQ(Stop(0), 0);

    pc.devices.dump().refuseWrites = false;
    auto& function = pc.devices.Function(kBus);
    const auto hardware = function.onWrite;
    function.onWrite = [&](std::uint8_t offset, std::uint32_t value) {
        hardware(offset, value);
        pc.devices.dump().refuseReads = true;
    };
    EXPECT_EQ(Stop(0), 0);
}

TEST_F(SlotControl, ABitThatDoesNotTakeFails) {
    auto& function = pc.devices.Function(kBus);
    function.onWrite = [&](std::uint8_t offset, std::uint32_t) {
        if (offset == CONFIG_LINK) function.registers[CONFIG_LINK] &= ~LINK_DISABLE;
    };
    EXPECT_EQ(Stop(0), 0);
    function.registers[CONFIG_LINK] |= LINK_DISABLE;
    function.onWrite = [&](std::uint8_t offset, std::uint32_t) {
        if (offset == CONFIG_LINK) function.registers[CONFIG_LINK] |= LINK_DISABLE;
    };
    EXPECT_EQ(Start(), 0);
}

TEST_F(SlotControl, ALinkRegisterReadingAllOnesIsNoLink) {
    // The bridge answered its identity, then dropped off the bus.
    pc.devices.Function(kBus).registers[CONFIG_LINK] = NO_FUNCTION;
    EXPECT_EQ(Stop(0), 0);
    EXPECT_EQ(Start(), 0);
    EXPECT_TRUE(LinkWrites().empty());
}

TEST_F(SlotControl, OnlyTheLowEightBitsOfEachArgumentCount) {
    // Bus 5, re-enumeration, stop.
    EXPECT_EQ(SetStatus(pc.platform(), 0x100 | kBus, 0x100, 0x100, 0x100), 1);
    EXPECT_TRUE(slot.LinkDisabled());
    EXPECT_TRUE(pc.devices.stateChanges().empty());
}

// ---- the device step

TEST_F(SlotControl, TheDeviceCycleRestartsTheSlotBridgeAloneAndDisablesNothing) {
    pc.devices.AddDevice({.hardwareIds = {u"PCI\\VEN_1217&DEV_02E4"}, .bus = kBus});
    const DevNode card = *slot.CardDevice();
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_DISABLE_CODE, 1, 0), 1);
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_ENABLE_CODE, 1, 0), 1);
    // The enable finds the bridge running: nothing for the class installer.
    const std::vector<std::pair<DevNode, std::uint32_t>> expected{{slot.bridge(), DICS_PROPCHANGE_CODE}};
    EXPECT_EQ(pc.devices.stateChanges(), expected);
    EXPECT_EQ(pc.devices.Device(slot.bridge()).status.problem, 0u);
    EXPECT_FALSE(pc.devices.Device(slot.bridge()).disabledAtNextBoot);
    // The restart took the card's stack down and found the card again.
    ASSERT_TRUE(slot.CardDevice());
    EXPECT_NE(*slot.CardDevice(), card);
    EXPECT_TRUE(Reenumerated(slot.bridge()));
}

TEST_F(SlotControl, AnEnableMendsASlotBridgeLeftDisabledInTheProfile) {
    // As an older release's device cycle cut short between its two requests leaves it.
    pc.devices.ChangeState(slot.bridge(), DICS_DISABLE_CODE);
    ASSERT_FALSE(slot.CardDevice());
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_ENABLE_CODE, 1, 0), 1);
    EXPECT_EQ(pc.devices.stateChanges().back(), (std::pair<DevNode, std::uint32_t>{slot.bridge(), DICS_ENABLE_CODE}));
    EXPECT_EQ(pc.devices.Device(slot.bridge()).status.problem, 0u);
    EXPECT_TRUE(slot.CardDevice());
}

TEST_F(SlotControl, ReenumerationReachesTheBusAndNothingElse) {
    const DevNode second = pc.devices.AddDevice({.hardwareIds = {u"PCI\\VEN_1217&DEV_02E4"}, .bus = kBus});
    Start();
    const auto& log = pc.devices.reenumerated();
    EXPECT_EQ(std::vector<DevNode>(log.begin() + logStart, log.end()), (std::vector<DevNode>{slot.bridge(), second}));
    EXPECT_TRUE(pc.devices.stateChanges().empty());
}

TEST_F(SlotControl, AClassInstallerDisableIsRefusedWhileAVolumeOfTheCardIsInUse) {
    pc.storage.OpenFileOn('E');
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_DISABLE_CODE, 1, 0), 0);
    EXPECT_TRUE(pc.devices.stateChanges().empty());
    EXPECT_TRUE(slot.CardDevice());
    // Its test gives every lock back before the installer's own query-remove.
    pc.storage.CloseFileOn('E');
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_DISABLE_CODE, 1, 0), 1);
    EXPECT_EQ(pc.storage.lockAttempts(), VOLUME_LOCK_ATTEMPTS + 1u);
    EXPECT_EQ(pc.devices.stateChanges().size(), 1u);
}

TEST_F(SlotControl, ARestartTheClassInstallerRefusesOrPutsOffFailsAndLeavesNothingBehind) {
    const DevNode card = *slot.CardDevice();
    pc.devices.deferredStops = 1;
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_DISABLE_CODE, 1, 0), 0);
    pc.devices.refusedStateChanges = 1;
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_DISABLE_CODE, 1, 0), 0);
    const std::vector<std::pair<DevNode, std::uint32_t>> expected{{slot.bridge(), DICS_PROPCHANGE_CODE},
                                                                  {slot.bridge(), DICS_PROPCHANGE_CODE}};
    EXPECT_EQ(pc.devices.stateChanges(), expected);
    EXPECT_FALSE(pc.devices.Device(slot.bridge()).disabledAtNextBoot);
    EXPECT_EQ(slot.CardDevice(), card);
    // A refused enable of a bridge that needs one fails too.
    pc.devices.ChangeState(slot.bridge(), DICS_DISABLE_CODE);
    pc.devices.refusedStateChanges = 1;
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_ENABLE_CODE, 1, 0), 0);
}

TEST_F(SlotControl, AStateChangeIsRefusedUntouchedUnlessItIsEnableOrDisableOfTheSlot) {
    EXPECT_EQ(SetStatus(pc.platform(), kBus, 3, 0, 0), 0);
    EXPECT_EQ(SetStatus(pc.platform(), 0, DICS_DISABLE_CODE, 1, 0), 0);  // the machine's own devices
    pc.devices.Function(kBus).registers[CONFIG_SUBSYSTEM] = 0x00001234;
    EXPECT_EQ(SetStatus(pc.platform(), kBus, DICS_DISABLE_CODE, 1, 0), 0);
    EXPECT_TRUE(pc.devices.stateChanges().empty());
    EXPECT_EQ(pc.counters().reenumerations, 0u);
    EXPECT_FALSE(slot.LinkDisabled());
}

TEST_F(SlotControl, NoDeviceListLeavesTheResultAlone) {
    pc.devices.FailDeviceSets(true);
    pc.devices.Function(kBus).registers[CONFIG_LINK] |= LINK_DISABLE;
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(pc.counters().reenumerations, 0u);
}

// ---- the tool's start sequences on cards that need more than a re-enumeration

class CardStart : public ::testing::Test {
protected:
    // The tool's order: link down and up again, then the devices disabled and enabled.
    bool Cycle() {
        SetStatus(pc.platform(), kBus, 0, 0, 0);
        SetStatus(pc.platform(), kBus, 0, 1, 0);
        return slot.CardDevice().has_value();
    }
    bool DeviceCycle() {
        SetStatus(pc.platform(), kBus, DICS_DISABLE_CODE, 1, 0);
        SetStatus(pc.platform(), kBus, DICS_ENABLE_CODE, 1, 0);
        return slot.CardDevice().has_value();
    }
    // The card goes into a slot whose link is down, as the poller keeps an
    // empty one, and the link is brought up: how long that took.
    std::uint64_t InsertAndStart(const sim::CardSpec& card) {
        SetStatus(pc.platform(), kBus, 0, 0, 0);
        slot.InsertCard(card);
        const std::uint64_t before = pc.clock.elapsedMilliseconds;
        const std::size_t scansBefore = pc.devices.reenumerated().size();
        EXPECT_EQ(SetStatus(pc.platform(), kBus, 0, 1, 0), 1);
        const auto& log = pc.devices.reenumerated();
        scans.assign(log.begin() + static_cast<std::ptrdiff_t>(scansBefore), log.end());
        return pc.clock.elapsedMilliseconds - before;
    }
    std::vector<DevNode> scans;  // of the last InsertAndStart

    sim::SimPc pc;
    sim::SimSlot& slot = pc.AddSlot({.slotBus = kBus});
};

TEST_F(CardStart, SmokeACardComesUpWithTheFirstStart) {
    slot.InsertCard();
    EXPECT_EQ(SetStatus(pc.platform(), kBus, 0, 1, 0), 1);
    EXPECT_TRUE(slot.CardDevice());
}

TEST_F(CardStart, ASlowLinkShowsTheCardAfterSomeStarts) {
    slot.InsertCard({.trainingReenumerations = 2});
    EXPECT_EQ(SetStatus(pc.platform(), kBus, 0, 1, 0), 1);
    EXPECT_FALSE(slot.CardDevice());
    SetStatus(pc.platform(), kBus, 0, 1, 0);
    EXPECT_FALSE(slot.CardDevice());
    SetStatus(pc.platform(), kBus, 0, 1, 0);
    EXPECT_TRUE(slot.CardDevice());
}

TEST_F(CardStart, ACardNeedingTheLinkCycleComesUpAfterIt) {
    slot.InsertCard({.needsLinkCycle = true});
    SetStatus(pc.platform(), kBus, 0, 1, 0);
    EXPECT_FALSE(slot.CardDevice());
    EXPECT_TRUE(Cycle());
}

TEST_F(CardStart, ACardNeedingTheDeviceCycleComesUpOnlyAfterIt) {
    slot.InsertCard({.needsDeviceCycle = true});
    EXPECT_FALSE(Cycle());
    EXPECT_TRUE(DeviceCycle());
    EXPECT_FALSE(slot.LinkDisabled());
}

TEST_F(CardStart, TheStartWaitsForTheLinkAndThenTheCardBeforeItsOneScanOfTheSlotBridge) {
    const std::uint64_t waited = InsertAndStart({.trainingMilliseconds = 600, .answerMilliseconds = 300});
    EXPECT_TRUE(slot.CardDevice());
    EXPECT_EQ(scans, std::vector<DevNode>{slot.bridge()});
    // The card's 300 ms run from the end of training, the pause before the
    // first read inside them.
    EXPECT_GE(waited, 600u + 300u);
    EXPECT_LE(waited, 600u + 300u + LINK_ACTIVE_POLL_MS + CARD_ANSWER_POLL_MS);
}

TEST_F(CardStart, ACardPastEitherBoundIsNotFoundAndNothingFindsItLater) {
    EXPECT_EQ(InsertAndStart({.trainingMilliseconds = 1500}), LINK_ACTIVE_WAIT_MS);
    EXPECT_EQ(scans, std::vector<DevNode>{slot.bridge()});
    EXPECT_FALSE(slot.CardDevice());
    pc.clock.Advance(10000);
    EXPECT_FALSE(slot.CardDevice());

    slot.PullCard();
    EXPECT_EQ(InsertAndStart({.answerMilliseconds = 1500}), LINK_SETTLE_MS + CARD_ANSWER_WAIT_MS);
    EXPECT_FALSE(slot.CardDevice());
    pc.clock.Advance(10000);
    EXPECT_FALSE(slot.CardDevice());
}

TEST_F(CardStart, ABridgeThatCannotReportLinkActiveGivesTheLinkItsWholeSecond) {
    sim::SimPc other;
    sim::SimSlot& quiet = other.AddSlot({.slotBus = kBus, .linkActiveReporting = false});
    SetStatus(other.platform(), kBus, 0, 0, 0);
    quiet.InsertCard({.trainingMilliseconds = 600});
    const std::uint64_t before = other.clock.elapsedMilliseconds;
    EXPECT_EQ(SetStatus(other.platform(), kBus, 0, 1, 0), 1);
    EXPECT_EQ(other.clock.elapsedMilliseconds - before, LINK_ACTIVE_WAIT_MS + LINK_SETTLE_MS);
    EXPECT_TRUE(quiet.CardDevice());
}

TEST_F(CardStart, ALinkAlreadyUpIsNotWaitedFor) {
    slot.InsertCard();
    const std::uint64_t before = pc.clock.elapsedMilliseconds;
    SetStatus(pc.platform(), kBus, 0, 1, 0);
    EXPECT_EQ(pc.clock.elapsedMilliseconds, before);
    EXPECT_TRUE(slot.CardDevice());
}

TEST_F(CardStart, StoppedAndStartedAgainTheCardsVolumesComeBack) {
    slot.InsertCard({.disks = {{.volumes = {{'E', 32 * GIB}}}}});
    SetStatus(pc.platform(), kBus, 0, 1, 0);
    ASSERT_TRUE(pc.storage.HasVolume('E'));
    ASSERT_EQ(SetStatus(pc.platform(), kBus, 0, 0, 1), 1);
    EXPECT_FALSE(pc.storage.HasVolume('E'));
    ASSERT_EQ(SetStatus(pc.platform(), kBus, 0, 1, 0), 1);
    EXPECT_TRUE(pc.storage.HasVolume('E'));
}

}  // namespace
}  // namespace qn38
