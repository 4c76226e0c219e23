// The simulated slot and storage behave as the hardware and Windows do, so
// that scenarios built on them mean something.
#include <gtest/gtest.h>

#include "lib/core/pci_config.h"
#include "lib/core/slot_control.h"
#include "sim/machine/sim_pc.h"

namespace qn38 {
namespace {

using sim::GIB;

class SimSlotModel : public ::testing::Test {
protected:
    void DisableLink() { pc.devices.Function(5).registers[CONFIG_LINK] |= LINK_DISABLE; }

    sim::SimPc pc;
    sim::SimSlot& slot = pc.AddSlot({.slotBus = 5});
    sim::CardSpec card{.disks = {{.volumes = {{'E', 32 * GIB}}}}};
};

TEST_F(SimSlotModel, SmokePresenceFollowsTheCardAndKeepsSlotControl) {
    pc.devices.Function(5).registers[CONFIG_SLOT] = 0x000003C0;
    slot.InsertCard(card);
    EXPECT_EQ(pc.devices.Register(5, CONFIG_SLOT), 0x004003C0u);
    slot.PullCard();
    EXPECT_EQ(pc.devices.Register(5, CONFIG_SLOT), 0x000003C0u);
}

TEST_F(SimSlotModel, TheCardAppearsOnlyWhenTheBusIsReenumerated) {
    slot.InsertCard(card);
    EXPECT_FALSE(slot.CardDevice());
    pc.devices.Reenumerate(slot.bridge());
    ASSERT_TRUE(slot.CardDevice());
    EXPECT_EQ(pc.devices.Parent(*slot.CardDevice()), slot.bridge());
    EXPECT_EQ(slot.CardDisks().size(), 1u);
    EXPECT_NE(pc.io.LogicalDrives() & 1u << ('E' - 'A'), 0u);
}

TEST_F(SimSlotModel, ADisabledLinkTakesEverythingBelowTheSlotAtTheNextReenumeration) {
    slot.InsertCard(card);
    pc.devices.Reenumerate(slot.bridge());
    const DevNode disk = slot.CardDisks().at(0);
    DisableLink();
    EXPECT_TRUE(slot.CardDevice());  // nothing happens before Plug and Play looks
    pc.devices.Reenumerate(slot.bridge());
    EXPECT_FALSE(slot.CardDevice());
    EXPECT_FALSE(pc.devices.Exists(disk));
    EXPECT_FALSE(pc.storage.HasVolume('E'));
    EXPECT_FALSE(pc.io.Open(u"\\\\.\\E:", {}));
    // The card is still in the slot.
    EXPECT_TRUE(slot.CardInserted());
    EXPECT_NE(pc.devices.Register(5, CONFIG_SLOT) & PRESENCE_DETECT, 0u);
}

TEST_F(SimSlotModel, PullingTheCardRemovesItsDevicesAtOnce) {
    slot.InsertCard(card);
    pc.devices.Reenumerate(slot.bridge());
    slot.PullCard();
    EXPECT_FALSE(slot.CardDevice());
    EXPECT_FALSE(pc.storage.HasVolume('E'));
    EXPECT_EQ(pc.devices.Register(5, CONFIG_SLOT) & PRESENCE_DETECT, 0u);
}

TEST_F(SimSlotModel, TheCardsFunctionAnswersBelowTheSlotWhileItsLinkIsUp) {
    slot.InsertCard(card);
    EXPECT_EQ(pc.devices.Register(6, CONFIG_ID), card.configId);
    EXPECT_NE(pc.devices.Register(5, CONFIG_LINK) & LINK_ACTIVE, 0u);
    ASSERT_EQ(SetStatus(pc.platform(), 5, 0, 0, 0), 1);  // a write through the dump device
    EXPECT_EQ(pc.devices.Register(6, CONFIG_ID), NO_FUNCTION);
    EXPECT_EQ(pc.devices.Register(5, CONFIG_LINK) & LINK_ACTIVE, 0u);
}

TEST_F(SimSlotModel, AScanBeforeTheCardAnswersFindsNothingAndNothingScansAgainByItself) {
    DisableLink();
    card.trainingMilliseconds = 600;
    card.answerMilliseconds = 300;
    slot.InsertCard(card);
    pc.devices.Function(5).registers[CONFIG_LINK] &= ~LINK_DISABLE;
    pc.devices.Function(5).onWrite(CONFIG_LINK, pc.devices.Register(5, CONFIG_LINK));
    pc.clock.Advance(599);
    EXPECT_EQ(pc.devices.Register(5, CONFIG_LINK) & LINK_ACTIVE, 0u);
    EXPECT_EQ(pc.devices.Register(6, CONFIG_ID), NO_FUNCTION);
    pc.clock.Advance(1);
    EXPECT_NE(pc.devices.Register(5, CONFIG_LINK) & LINK_ACTIVE, 0u);
    EXPECT_EQ(pc.devices.Register(6, CONFIG_ID), 0xFFFF0000u | VENDOR_ID_RETRY);  // trained, not ready
    pc.devices.Reenumerate(slot.bridge());
    pc.clock.Advance(10000);
    EXPECT_EQ(pc.devices.Register(6, CONFIG_ID), card.configId);
    EXPECT_FALSE(slot.CardDevice());
    pc.devices.Reenumerate(slot.bridge());
    EXPECT_TRUE(slot.CardDevice());
}

TEST_F(SimSlotModel, AFirstInstallLeavesTheDevnodeUnconfiguredUntilItsDriverStartsIt) {
    card.installMilliseconds = 5000;
    slot.InsertCard(card);
    pc.devices.Reenumerate(slot.bridge());
    ASSERT_TRUE(slot.CardDevice());
    EXPECT_EQ(pc.devices.Status(*slot.CardDevice())->problem, CM_PROB_NOT_CONFIGURED_CODE);
    pc.clock.Advance(4999);
    EXPECT_EQ(pc.devices.Status(*slot.CardDevice())->status & DN_STARTED_FLAG, 0u);
    pc.clock.Advance(1);
    EXPECT_EQ(pc.devices.Status(*slot.CardDevice())->status, STATUS_RUNNING);
    EXPECT_EQ(pc.devices.Status(*slot.CardDevice())->problem, 0u);
}

TEST_F(SimSlotModel, SafeRemovalHoldsTheCardForEject) {
    slot.InsertCard(card);
    pc.devices.Reenumerate(slot.bridge());
    slot.HoldCardForEject();
    ASSERT_TRUE(slot.CardDevice());
    EXPECT_EQ(pc.devices.Device(*slot.CardDevice()).status.problem, 47u);
    EXPECT_TRUE(slot.CardDisks().empty());
    pc.devices.Reenumerate(slot.bridge());  // stays held while the card is in
    EXPECT_EQ(pc.devices.Device(*slot.CardDevice()).status.problem, 47u);
    slot.PullCard();
    EXPECT_FALSE(slot.CardDevice());
}

TEST_F(SimSlotModel, DisablingTheBridgeTakesTheCardAndEnablingBringsItBack) {
    slot.InsertCard(card);
    pc.devices.Reenumerate(slot.bridge());
    pc.devices.ChangeState(slot.bridge(), DICS_DISABLE_CODE);
    EXPECT_FALSE(slot.CardDevice());
    EXPECT_EQ(pc.devices.Device(slot.bridge()).status.problem, CM_PROB_DISABLED_CODE);
    pc.devices.Reenumerate(slot.bridge());
    EXPECT_FALSE(slot.CardDevice());  // a disabled bridge enumerates nothing
    pc.devices.ChangeState(slot.bridge(), DICS_ENABLE_CODE);
    EXPECT_TRUE(slot.CardDevice());
    EXPECT_EQ(pc.devices.Device(slot.bridge()).status.problem, 0u);
}

TEST_F(SimSlotModel, ReinsertingReplacesTheCard) {
    slot.InsertCard(card);
    pc.devices.Reenumerate(slot.bridge());
    slot.InsertCard({.description = u"ExpressCard USB 3.0"});
    EXPECT_FALSE(slot.CardDevice());
    pc.devices.Reenumerate(slot.bridge());
    ASSERT_TRUE(slot.CardDevice());
    EXPECT_EQ(pc.devices.ReadProperty(*slot.CardDevice(), SPDRP_DEVICE_DESCRIPTION).data,
              sim::SingleString(u"ExpressCard USB 3.0").data);
}

class SimStorageModel : public ::testing::Test {
protected:
    sim::SimPc pc;
};

TEST_F(SimStorageModel, SmokeAVolumeAnswersWithItsDiskNumber) {
    pc.storage.AddSystemDisk();
    const DevNode stick = pc.storage.AddUsbStick('G');
    auto volume = pc.io.Open(u"\\\\.\\g:", {});
    ASSERT_TRUE(volume);
    StorageDeviceNumber number{};
    ASSERT_TRUE(volume->Control(IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE, nullptr, 0, &number, sizeof number));
    EXPECT_EQ(number.deviceNumber, pc.storage.Disk(stick).number);
    EXPECT_EQ(number.deviceNumber, 1u);
}

TEST_F(SimStorageModel, TheLockNeedsAWritableHandleAndNobodyElse) {
    pc.storage.AddUsbStick('G');
    const OpenRequest readWrite{ACCESS_GENERIC_READ_WRITE, SHARE_READ_WRITE, DISPOSITION_OPEN_EXISTING, 0};
    {
        auto query = pc.io.Open(u"\\\\.\\G:", {});
        EXPECT_FALSE(query->Control(FSCTL_LOCK_VOLUME_CODE, nullptr, 0, nullptr, 0));  // no access rights
        auto locker = pc.io.Open(u"\\\\.\\G:", readWrite);
        EXPECT_FALSE(locker->Control(FSCTL_LOCK_VOLUME_CODE, nullptr, 0, nullptr, 0));  // the query handle is open
    }
    auto locker = pc.io.Open(u"\\\\.\\G:", readWrite);
    EXPECT_TRUE(locker->Control(FSCTL_LOCK_VOLUME_CODE, nullptr, 0, nullptr, 0));
    EXPECT_FALSE(pc.io.Open(u"\\\\.\\G:", readWrite));  // a locked volume opens only through its locker
    EXPECT_FALSE(pc.storage.OpenFileOn('G'));
    EXPECT_TRUE(locker->Control(FSCTL_DISMOUNT_VOLUME_CODE, nullptr, 0, nullptr, 0));
    locker.reset();  // closing gives the lock back
    EXPECT_FALSE(pc.storage.Volume('G').locked);
}

TEST_F(SimStorageModel, DiskNumbersAreReusedLowestFirst) {
    const DevNode first = pc.storage.AddUsbStick('G');
    const DevNode second = pc.storage.AddUsbStick('H');
    pc.storage.RemoveDisk(first);
    const DevNode third = pc.storage.AddUsbStick('I');
    EXPECT_EQ(pc.storage.Disk(second).number, 1u);
    EXPECT_EQ(pc.storage.Disk(third).number, 0u);
}

TEST_F(SimStorageModel, TheInterfaceSetIsASnapshotWithPaths) {
    const DevNode stick = pc.storage.AddUsbStick('G');
    auto set = pc.devices.OpenDiskInterfaces(StorageInterfaceKind::Disk);
    ASSERT_TRUE(set);
    DiskInterface disk;
    ASSERT_EQ(set->Interface(0, disk), InterfaceStatus::Ok);
    EXPECT_EQ(disk.devnode, stick);
    EXPECT_TRUE(pc.io.Open(disk.path, {}));
    EXPECT_FALSE(set->HasDevice(1));
    EXPECT_EQ(set->Interface(1, disk), InterfaceStatus::End);
    set.reset();
    EXPECT_EQ(pc.counters().deviceSets, pc.counters().deviceSetsDestroyed);
}

}  // namespace
}  // namespace qn38
