// Storing the memory window in the driver's service key.
#include <gtest/gtest.h>

#include "lib/core/constants.h"
#include "lib/core/memory_window.h"
#include "sim/machine/sim_pc.h"

namespace qn38 {
namespace {

constexpr auto kMachine = RegistryRoot::LocalMachine;

class MemoryWindow : public ::testing::Test {
protected:
    std::optional<std::uint32_t> Stored(std::u16string_view name) {
        return pc.registry.Dword(kMachine, U16(DRIVER_KEY_PATH), name);
    }
    void InstallDriverKey() { pc.registry.CreateKey(kMachine, U16(DRIVER_KEY_PATH)); }

    sim::SimPc pc;
};

TEST_F(MemoryWindow, SmokeStoresTheThreeValuesAsDwords) {
    InstallDriverKey();
    EXPECT_EQ(SetSize(pc.platform(), 0x00200000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(Stored(u"DefLen"), 0x00200000u);
    EXPECT_EQ(Stored(u"StartAdrs"), 0u);
    EXPECT_EQ(Stored(u"EndAdrs"), 0xEFFFFFFFu);
    const auto raw = pc.registry.Value(kMachine, U16(DRIVER_KEY_PATH), u"EndAdrs");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, REG_TYPE_DWORD);
    EXPECT_EQ(raw->data, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xEF}));
}

TEST_F(MemoryWindow, WithoutTheKeyNothingIsStoredOrCreated) {
    EXPECT_EQ(SetSize(pc.platform(), 0x00200000, 0, 0xEFFFFFFF), 0);
    EXPECT_FALSE(pc.registry.HasKey(kMachine, U16(DRIVER_KEY_PATH)));
    EXPECT_EQ(pc.registry.writes(), 0);
}

TEST_F(MemoryWindow, AKeyThatCannotBeWrittenStoresNothing) {
    InstallDriverKey();
    pc.registry.SetDword(kMachine, U16(DRIVER_KEY_PATH), u"DefLen", 0x00100000);
    pc.registry.FindKey(kMachine, U16(DRIVER_KEY_PATH))->denyWrite = true;
    EXPECT_EQ(SetSize(pc.platform(), 0x00400000, 0, 0xEFFFFFFF), 0);
    EXPECT_EQ(Stored(u"DefLen"), 0x00100000u);
}

TEST_F(MemoryWindow, TheFirstFailedWriteEndsTheCallAndEarlierValuesStay) {
    InstallDriverKey();
    pc.registry.SetDword(kMachine, U16(DRIVER_KEY_PATH), u"StartAdrs", 0x11100000);
    pc.registry.SetDword(kMachine, U16(DRIVER_KEY_PATH), u"EndAdrs", 0x222FFFFF);
    const int before = pc.registry.writes();
    pc.registry.FailWriteAt(2);

    EXPECT_EQ(SetSize(pc.platform(), 0x00300000, 0x40000000, 0x4FFFFFFF), 0);
    EXPECT_EQ(Stored(u"DefLen"), 0x00300000u);
    EXPECT_EQ(Stored(u"StartAdrs"), 0x11100000u);
    EXPECT_EQ(Stored(u"EndAdrs"), 0x222FFFFFu);
    EXPECT_EQ(pc.registry.writes() - before, 2);  // EndAdrs was not tried
}

TEST_F(MemoryWindow, AFailureAtTheLastValueStillReportsFailure) {
    InstallDriverKey();
    pc.registry.FailWriteAt(3);
    EXPECT_EQ(SetSize(pc.platform(), 0x00300000, 0x40000000, 0x4FFFFFFF), 0);
    EXPECT_EQ(Stored(u"DefLen"), 0x00300000u);
    EXPECT_EQ(Stored(u"StartAdrs"), 0x40000000u);
    EXPECT_FALSE(Stored(u"EndAdrs"));
}

TEST_F(MemoryWindow, OutOfRangeCombinationsAreStoredUnchanged) {
    InstallDriverKey();
    EXPECT_EQ(SetSize(pc.platform(), 0xFFF00000, 0x80000000, 0x800FFFFF), 1);
    EXPECT_EQ(Stored(u"DefLen"), 0xFFF00000u);
    EXPECT_EQ(Stored(u"StartAdrs"), 0x80000000u);
    EXPECT_EQ(Stored(u"EndAdrs"), 0x800FFFFFu);
}

TEST_F(MemoryWindow, TheKeyIsClosedOnEveryPath) {
    InstallDriverKey();
    SetSize(pc.platform(), 1, 2, 3);
    pc.registry.FailWriteAt(1);
    SetSize(pc.platform(), 1, 2, 3);
    EXPECT_EQ(pc.registry.opens(), 2);
    EXPECT_EQ(pc.registry.openKeys(), 0);
}

class SettingNumbers : public MemoryWindow {
protected:
    std::optional<std::uint32_t> Read(std::u16string_view name) {
        auto key = pc.registry.Open(kMachine, U16(DRIVER_KEY_PATH), KEY_ACCESS_READ);
        return key ? ReadSettingNumber(*key, name) : std::nullopt;
    }
    void Set(std::u16string_view name, std::uint32_t type, std::vector<std::uint8_t> data) {
        pc.registry.SetValue(kMachine, U16(DRIVER_KEY_PATH), name, type, std::move(data));
    }
};

TEST_F(SettingNumbers, AnyValueOfAtMostFourBytesCounts) {
    Set(u"DefLen", REG_TYPE_DWORD, {0x00, 0x00, 0x20, 0x00});
    Set(u"Memory1", 3 /* REG_BINARY */, {0x34, 0x12});
    EXPECT_EQ(Read(u"DefLen"), 0x00200000u);
    EXPECT_EQ(Read(u"Memory1"), 0x1234u);
}

TEST_F(SettingNumbers, MissingLongerOrUnreadableValuesAreAbsent) {
    Set(u"Memory2", 11 /* REG_QWORD */, {1, 0, 0, 0, 0, 0, 0, 0});
    Set(u"Memory2Len", REG_TYPE_DWORD, {1, 0, 0, 0});
    pc.registry.MakeUnreadable(kMachine, U16(DRIVER_KEY_PATH), u"Memory2Len");
    EXPECT_FALSE(Read(u"Memory1Len"));
    EXPECT_FALSE(Read(u"Memory2"));
    EXPECT_FALSE(Read(u"Memory2Len"));
}

}  // namespace
}  // namespace qn38
