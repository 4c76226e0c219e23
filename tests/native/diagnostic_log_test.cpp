// The diagnostic log: the ring file and the report written into it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/core/constants.h"
#include "lib/core/diagnostic_log.h"
#include "lib/core/log_layout.h"
#include "lib/core/pci_config.h"
#include "sim/machine/sim_pc.h"

namespace qn38 {
namespace {

constexpr char16_t kLogPath[] = u"C:\\Program Files\\QN38\\QN38.LOG";
constexpr std::size_t kSlot = LOG_SLOT_SIZE;

class LogFile : public ::testing::Test {
protected:
    std::vector<std::uint8_t>& File() {
        auto* file = pc.files.Find(kLogPath);
        if (file == nullptr) throw std::runtime_error("no log file");
        return *file;
    }
    LogHeader Header() {
        LogSlot slot{};
        std::memcpy(slot.data(), File().data(), kSlot);
        return DecodeLogHeader(slot);
    }
    // The slot's raw 200 bytes.
    std::string Slot(std::uint32_t index) {
        const auto& file = File();
        return std::string(reinterpret_cast<const char*>(file.data()) + index * kSlot, kSlot);
    }
    // The slot's text, up to its first zero.
    std::string Entry(std::uint32_t index) {
        const std::string slot = Slot(index);
        return slot.substr(0, slot.find('\0'));
    }
    // A log whose header says `nextSlot`, `slots` slots long, every entry slot filled with `fill`.
    void PrepareLog(std::uint32_t nextSlot, std::uint32_t slots, char fill = 'E',
                    const char* created = "2020/01/02 03:04:05") {
        LogHeader header{};
        std::memcpy(header.marker, LOG_MARKER, 8);
        std::memcpy(header.created, created, std::min(std::strlen(created), sizeof header.created - 1));
        header.nextSlot = nextSlot;
        auto& file = pc.files.Create(kLogPath);
        file.assign(std::size_t{slots} * kSlot, static_cast<std::uint8_t>(fill));
        const LogSlot encoded = EncodeLogHeader(header);
        std::copy(encoded.begin(), encoded.end(), file.begin());
    }

    sim::SimPc pc;
};

TEST_F(LogFile, SmokeFirstUseCreatesTheHeaderAndTheFirstEntry) {
    EXPECT_NE(WriteLogFile(pc.platform(), u"hello"), 0);
    ASSERT_EQ(File().size(), 400u);
    const LogHeader header = Header();
    EXPECT_EQ(std::string(header.marker, 8), std::string("QN38LOG\0", 8));
    EXPECT_EQ(std::string(header.created, 20), std::string("2026/12/07 09:30:00\0", 20));
    EXPECT_EQ(header.nextSlot, 2u);
    EXPECT_EQ(Slot(0).substr(32), std::string(168, '\0'));
    EXPECT_EQ(Slot(1), "hello" + std::string(195, '\0'));
}

TEST_F(LogFile, ANullTextOnAMissingFileWritesTheHeaderAlone) {
    EXPECT_NE(WriteLogFile(pc.platform(), nullptr), 0);
    ASSERT_EQ(File().size(), 200u);
    EXPECT_EQ(Header().nextSlot, 1u);
}

TEST_F(LogFile, ANullTextLeavesAGoodHeaderAlone) {
    PrepareLog(7, 9);
    const auto before = File();
    EXPECT_NE(WriteLogFile(pc.platform(), nullptr), 0);
    EXPECT_EQ(File(), before);
}

TEST_F(LogFile, EntriesFillConsecutiveSlotsAndKeepTheCreationTime) {
    PrepareLog(3, 3);
    pc.clock.now = {2027, 1, 1, 0, 0, 0};
    WriteLogFile(pc.platform(), u"third");
    WriteLogFile(pc.platform(), u"fourth");
    EXPECT_EQ(Entry(3), "third");
    EXPECT_EQ(Entry(4), "fourth");
    EXPECT_EQ(Entry(2), std::string(200, 'E'));
    EXPECT_EQ(Header().nextSlot, 5u);
    EXPECT_STREQ(Header().created, "2020/01/02 03:04:05");
}

TEST_F(LogFile, Slot4999IsTheLastBeforeTheRingWraps) {
    PrepareLog(4999, 4999);
    EXPECT_NE(WriteLogFile(pc.platform(), u"last"), 0);
    ASSERT_EQ(File().size(), 1'000'000u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(File().data()) + 999'800, 4), "last");
    EXPECT_EQ(Header().nextSlot, 1u);
    WriteLogFile(pc.platform(), u"first again");
    EXPECT_EQ(Entry(1), "first again");
    EXPECT_EQ(File().size(), 1'000'000u);
}

TEST_F(LogFile, TheFileNeverGrowsPastOneMillionBytes) {
    for (int i = 1; i <= 6000; ++i) WriteLogFile(pc.platform(), (u"entry " + std::u16string(1, u'a' + i % 26)).c_str());
    EXPECT_EQ(File().size(), 1'000'000u);
    // 4999 entries fill the ring once; the 1001 that follow went to slots 1 to 1001.
    EXPECT_EQ(Header().nextSlot, 1002u);
    EXPECT_EQ(Entry(1001), "entry " + std::string(1, char('a' + 6000 % 26)));
}

class DamagedHeader : public LogFile, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(DamagedHeader, IsRebuiltAndTheRingStartsAgainAtSlot1) {
    PrepareLog(GetParam(), 6);
    EXPECT_NE(WriteLogFile(pc.platform(), u"after"), 0);
    EXPECT_EQ(Entry(1), "after");
    EXPECT_EQ(Header().nextSlot, 2u);
    EXPECT_STREQ(Header().created, "2026/12/07 09:30:00");
    // The rest of the file waits to be overwritten as the ring advances.
    EXPECT_EQ(Entry(2), std::string(200, 'E'));
    EXPECT_EQ(File().size(), 6 * kSlot);
}

// 0 would send the entry onto the header itself, to be lost under its rewrite.
INSTANTIATE_TEST_SUITE_P(NextSlotOutOfRange, DamagedHeader, ::testing::Values(0u, 5000u, 0xFFFFFFFFu));

TEST_F(LogFile, AForeignFileGetsAHeaderAndKeepsTheRest) {
    auto& file = pc.files.Create(kLogPath);
    file.assign(1000, 'F');
    EXPECT_NE(WriteLogFile(pc.platform(), u"mine"), 0);
    EXPECT_EQ(Header().nextSlot, 2u);
    EXPECT_EQ(Entry(1), "mine");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(File().data()) + 400, 600), std::string(600, 'F'));
}

TEST_F(LogFile, AShortFileWithTheMarkerIsReadAsFarAsItGoes) {
    // 30 bytes: the marker, the time and half of nextSlot.
    PrepareLog(1, 1);
    File().resize(30);
    EXPECT_NE(WriteLogFile(pc.platform(), u"x"), 0);
    EXPECT_EQ(Entry(1), "x");
    EXPECT_EQ(Header().nextSlot, 2u);
}

TEST_F(LogFile, ATextOfMoreThanOneSlotKeepsItsFirst200BytesWithoutTerminator) {
    const std::u16string text(250, u'x');
    EXPECT_NE(WriteLogFile(pc.platform(), text.c_str()), 0);
    EXPECT_EQ(Slot(1), std::string(200, 'x'));
    EXPECT_EQ(File().size(), 400u);
}

TEST_F(LogFile, ACharacterOutsideTheCodePageBecomesItsReplacement) {
    WriteLogFile(pc.platform(), u"caf\u00E9 \u3042!");
    EXPECT_EQ(Entry(1), "caf\xE9 ?!");
}

TEST_F(LogFile, EachEntryCostsOneOpenOneReadAndTwoWrites) {
    WriteLogFile(pc.platform(), u"one");
    WriteLogFile(pc.platform(), u"two");
    EXPECT_EQ(pc.files.counters().opens, 2u);
    EXPECT_EQ(pc.files.counters().reads, 2u);
    EXPECT_EQ(pc.files.counters().writes, 2u + 1u + 2u);  // the first also wrote the new header
    EXPECT_EQ(pc.files.counters().openNow, 0);
}

TEST_F(LogFile, AFileThatCannotBeOpenedOrReadGivesZeroAndWritesNothing) {
    pc.files.FailOpen(kLogPath);
    EXPECT_EQ(WriteLogFile(pc.platform(), u"lost"), 0);
    EXPECT_FALSE(pc.files.Exists(kLogPath));

    sim::SimPc other;
    other.files.failReads = true;
    EXPECT_EQ(WriteLogFile(other.platform(), u"lost"), 0);
    EXPECT_EQ(other.files.counters().writes, 0u);
    EXPECT_EQ(other.files.counters().openNow, 0);
}

TEST_F(LogFile, AHeaderThatCannotBeRebuiltStopsTheEntry) {
    pc.files.FailWritesAt(0);
    EXPECT_EQ(WriteLogFile(pc.platform(), u"lost"), 0);
    EXPECT_EQ(File().size(), 0u);
    EXPECT_EQ(pc.files.counters().writes, 1u);
}

TEST_F(LogFile, AFailedEntryWriteLeavesTheHeaderUnchanged) {
    PrepareLog(1, 1);
    const auto before = File();
    pc.files.FailWritesAt(kSlot);
    EXPECT_EQ(WriteLogFile(pc.platform(), u"lost"), 0);
    EXPECT_EQ(File(), before);
}

TEST_F(LogFile, AFailedHeaderRewriteIsReported) {
    PrepareLog(1, 1);
    pc.files.FailWritesAt(0);
    EXPECT_EQ(WriteLogFile(pc.platform(), u"unsure"), 0);
    EXPECT_EQ(Header().nextSlot, 1u);
}

TEST(LogPath, LiesBesideTheExecutable) {
    EXPECT_EQ(LogPathBeside(u"C:\\Program Files\\QN38\\QN38HotPlugService.exe"), kLogPath);
    EXPECT_EQ(LogPathBeside(u"C:/QN38/service.exe"), u"C:/QN38/QN38.LOG");
    EXPECT_EQ(LogPathBeside(u"\\\\server\\share\\svc.exe"), u"\\\\server\\share\\QN38.LOG");
    EXPECT_EQ(LogPathBeside(u"C:svc.exe"), u"C:QN38.LOG");
}

TEST(LogPath, WithoutADirectoryThereIsNoLog) {
    EXPECT_EQ(LogPathBeside(u"svc.exe"), u"");
    EXPECT_EQ(LogPathBeside(u""), u"");

    sim::SimPc pc;
    pc.files.executablePath = u"";
    EXPECT_EQ(WriteLogFile(pc.platform(), u"nowhere"), 0);
    EXPECT_EQ(pc.files.counters().opens, 0u);
}

TEST(LogPath, AnExecutablePathLongerThan260UnitsIsUsedWhole) {
    sim::SimPc pc;
    const std::u16string directory = u"C:\\" + std::u16string(300, u'd') + u"\\" + std::u16string(100, u'e') + u"\\";
    pc.files.executablePath = directory + u"QN38HotPlugService.exe";
    EXPECT_NE(WriteLogFile(pc.platform(), u"far away"), 0);
    EXPECT_TRUE(pc.files.Exists(directory + u"QN38.LOG"));
}

// The report ZQ_WriteLog writes.
class LogReport : public LogFile {
protected:
    std::vector<std::string> Entries() {
        std::vector<std::string> entries;
        if (pc.files.Find(kLogPath) == nullptr) return entries;
        for (std::uint32_t slot = 1; slot < Header().nextSlot; ++slot) entries.push_back(Entry(slot));
        return entries;
    }
    void InstallDriverKey() { pc.registry.CreateKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH)); }
    void SetSetting(std::u16string_view name, std::uint32_t value) {
        pc.registry.SetDword(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), name, value);
    }
    // A card below the slot bridge, its function on `bus`.
    DevNode InsertCard(const sim::Adapter& adapter, std::uint8_t bus, std::u16string description) {
        pc.devices.Function(bus).registers[CONFIG_ID] = 0x816810EC;
        return pc.devices.AddDevice({.parent = adapter.slotBridge,
                                     .hardwareIds = {u"PCI\\VEN_10EC&DEV_8168"},
                                     .bus = bus,
                                     .description = std::move(description)});
    }

    static constexpr const char* kTitle = "\r\n\r\nLinkDisable(Bus0x05)\r\n2026/12/07 09:30:00";
    static constexpr const char* kSlotEntry =
        "\r\nBus:0X05\r\nHardwareID:0x02e31217\r\nSUBSYSID:0x3a5c0e71\r\nMemoryBase:0xe000e000"
        "\r\nSlotStatus:0x00000000\r\nLinkStatus:0x10110000\r\nstatus:0x0180200a\r\nproblem:0x00000000";
};

TEST_F(LogReport, SmokeWithoutAdapterOrDriverKeyOnlyTheTitleIsWritten) {
    pc.devices.AddOrdinaryDevices(4);
    WriteLog(pc.platform(), "LinkDisable(Bus0x05)");
    EXPECT_EQ(Entries(), std::vector<std::string>{kTitle});
}

TEST_F(LogReport, TheRegistryEntryListsTheValuesThatCanBeRead) {
    InstallDriverKey();
    SetSetting(u"DefLen", 0x00200000);
    SetSetting(u"StartAdrs", 0);
    SetSetting(u"EndAdrs", 0xEFFFFFFF);
    SetSetting(u"Memory1", 0xE0000000);
    SetSetting(u"Memory1Len", 0x00100000);
    SetSetting(u"Memory2Len", 5);
    WriteLog(pc.platform(), "LinkDisable(Bus0x05)");
    EXPECT_EQ(Entries(), (std::vector<std::string>{
                             kTitle,
                             "\r\nRegistry\r\nDefLen:0x00200000\r\nStartAdrs:0x00000000\r\nEndAdrs:0xefffffff"
                             "\r\nMemory1:0xe0000000\r\nMemory1Len:0x00100000\r\nMemory2Len:0x00000005"}));
    EXPECT_EQ(pc.registry.openKeys(), 0);
}

TEST_F(LogReport, WithoutDefLenThereIsNoRegistryEntry) {
    InstallDriverKey();
    SetSetting(u"StartAdrs", 0);
    SetSetting(u"EndAdrs", 0xEFFFFFFF);
    WriteLog(pc.platform(), "t");
    EXPECT_EQ(Entries().size(), 1u);

    SetSetting(u"DefLen", 0x00200000);
    pc.registry.MakeUnreadable(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"DefLen");
    WriteLog(pc.platform(), "t");
    EXPECT_EQ(Entries().size(), 2u);
}

TEST_F(LogReport, AValueLongerThanFourBytesIsLeftOut) {
    InstallDriverKey();
    SetSetting(u"DefLen", 0x00200000);
    pc.registry.SetValue(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"StartAdrs", 11, {0, 0, 0, 0, 1, 0, 0, 0});
    WriteLog(pc.platform(), "t");
    ASSERT_EQ(Entries().size(), 2u);
    EXPECT_EQ(Entries()[1], "\r\nRegistry\r\nDefLen:0x00200000");
}

TEST_F(LogReport, ASlotBridgeWithoutACardGivesASlotEntryAlone) {
    pc.devices.AddAdapter({.slotBus = 5});
    WriteLog(pc.platform(), "LinkDisable(Bus0x05)");
    EXPECT_EQ(Entries(), (std::vector<std::string>{kTitle, kSlotEntry}));
}

TEST_F(LogReport, ACardBelowTheBridgeFollowsItsSlotEntry) {
    const auto adapter = pc.devices.AddAdapter({.slotBus = 5});
    pc.devices.Function(5).registers[CONFIG_SLOT] = PRESENCE_DETECT;
    InsertCard(adapter, 6, u"Realtek PCIe GbE Family Controller");
    WriteLog(pc.platform(), "LinkDisable(Bus0x05)");
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_NE(entries[1].find("\r\nSlotStatus:0x00400000\r\n"), std::string::npos);
    EXPECT_EQ(entries[2],
              "\r\nExpressCard\r\nBus:0X06\r\nHardwareID:0x816810ec\r\nstatus:0x0180200a\r\nproblem:0x00000000"
              "\r\nDeviceDesc:Realtek PCIe GbE Family Controller");
}

TEST_F(LogReport, ReportsTheCardTheSlotBroughtUpAndLaterHeldForEject) {
    auto& slot = pc.AddSlot({.slotBus = 5});
    slot.InsertCard();
    pc.devices.Reenumerate(slot.bridge());
    ASSERT_TRUE(slot.CardDevice());
    WriteLog(pc.platform(), "LinkEnable(Bus0x05)");
    auto entries = Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_NE(entries[1].find("\r\nSlotStatus:0x0040"), std::string::npos) << entries[1];
    EXPECT_NE(entries[2].find("\r\nHardwareID:0x2363197b\r\n"), std::string::npos) << entries[2];
    EXPECT_NE(entries[2].find("\r\nproblem:0x00000000\r\nDeviceDesc:ExpressCard SATA Controller"), std::string::npos);

    slot.HoldCardForEject();
    WriteLog(pc.platform(), "LinkDisable(Bus0x05)");
    entries = Entries();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_NE(entries[5].find("\r\nproblem:0x0000002f\r\n"), std::string::npos) << entries[5];

    slot.PullCard();
    WriteLog(pc.platform(), "Pulled");
    EXPECT_EQ(Entries().size(), 8u);  // title and slot: no card below the bridge
}

TEST_F(LogReport, RegistersAreReadInTheirOrderEachWithItsOwnOpen) {
    const auto adapter = pc.devices.AddAdapter({.slotBus = 5});
    InsertCard(adapter, 6, u"Card");
    WriteLog(pc.platform(), "t");
    std::vector<std::pair<int, int>> reads;
    for (const auto& request : pc.devices.dump().requests) reads.emplace_back(request[0], request[1]);
    EXPECT_EQ(reads,
              (std::vector<std::pair<int, int>>{{5, 0x00}, {5, 0x94}, {5, 0x58}, {5, 0x50}, {5, 0x20}, {6, 0x00}}));
    EXPECT_EQ(pc.counters().opens, 6u);
    EXPECT_EQ(pc.counters().closes, 6u);
}

TEST_F(LogReport, DevicesCarryingTheFilterAreListedBeforeTheSlots) {
    pc.devices.AddAdapter({.slotBus = 5, .rootPortFilters = std::vector<std::u16string>{u"QN38UP"}});
    pc.devices.AddDevice({.hardwareIds = {u"PCI\\VEN_8086&DEV_9999", u"PCI\\CC_0604"},
                          .upperFilters = std::vector<std::u16string>{u"Other", u"qn38up"},
                          .status = 0x01806400,
                          .problem = 22});
    // Not present: not in the report.
    pc.devices.AddDevice({.hardwareIds = {u"PCI\\VEN_8086&DEV_7777"},
                          .upperFilters = std::vector<std::u16string>{u"QN38UP"},
                          .present = false});
    WriteLog(pc.platform(), "LinkDisable(Bus0x05)");
    EXPECT_EQ(
        Entries(),
        (std::vector<std::string>{
            kTitle,
            "\r\nQN38UP\r\nHardwareID:PCI\\VEN_8086&DEV_1C10&SUBSYS_00000000&REV_B5\r\nstatus:0x0180200a"
            "\r\nproblem:0x00000000",
            "\r\nQN38UP\r\nHardwareID:PCI\\VEN_8086&DEV_9999\r\nstatus:0x01806400\r\nproblem:0x00000016", kSlotEntry}));
}

TEST_F(LogReport, WhatCannotBeReadPrintsAsZeroAndTheEntryIsStillWritten) {
    const auto adapter = pc.devices.AddAdapter({.slotBus = 5});
    const DevNode card = InsertCard(adapter, 6, u"Card");
    pc.devices.dump().installed = false;
    pc.devices.FailProperty(card, SPDRP_BUS_NUMBER, PropertyStatus::Absent);
    pc.devices.FailProperty(card, SPDRP_DEVICE_DESCRIPTION, PropertyStatus::Failed);
    WriteLog(pc.platform(), "t");
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1],
              "\r\nBus:0X05\r\nHardwareID:0x00000000\r\nSUBSYSID:0x00000000\r\nMemoryBase:0x00000000"
              "\r\nSlotStatus:0x00000000\r\nLinkStatus:0x00000000\r\nstatus:0x0180200a\r\nproblem:0x00000000");
    EXPECT_EQ(entries[2],
              "\r\nExpressCard\r\nBus:0X00\r\nHardwareID:0x00000000\r\nstatus:0x0180200a\r\nproblem:0x00000000"
              "\r\nDeviceDesc:");
}

TEST_F(LogReport, ALongDescriptionIsCutToTheSlot) {
    const auto adapter = pc.devices.AddAdapter({.slotBus = 5});
    InsertCard(adapter, 6, std::u16string(300, u'D'));  // more than the 520-byte property buffer
    WriteLog(pc.platform(), "t");
    const std::string slot = Slot(3);
    EXPECT_EQ(slot.substr(0, 14), "\r\nExpressCard\r");
    EXPECT_EQ(slot.substr(200 - 10), std::string(10, 'D'));
}

TEST_F(LogReport, ANullTitlePrintsAsNull) {
    WriteLog(pc.platform(), nullptr);
    EXPECT_EQ(Entries(), std::vector<std::string>{"\r\n\r\n(null)\r\n2026/12/07 09:30:00"});
}

TEST_F(LogReport, ATitleIsReadNoFurtherThanOneSlot) {
    // Exactly 200 bytes and no terminator, as a full request field arrives.
    auto title = std::make_unique<char[]>(200);
    std::memset(title.get(), 'T', 200);
    WriteLog(pc.platform(), title.get());
    EXPECT_EQ(Slot(1), "\r\n\r\n" + std::string(196, 'T'));
}

TEST_F(LogReport, AnUnwritableLogDoesNotStopTheReport) {
    pc.devices.AddAdapter({.slotBus = 5});
    pc.files.FailOpen(kLogPath);
    EXPECT_EQ(WriteLog(pc.platform(), "t"), 0);
    EXPECT_EQ(pc.devices.dump().requests.size(), 5u);
}

TEST_F(LogReport, AWholeReportSucceedsInConsecutiveSlots) {
    InstallDriverKey();
    SetSetting(u"DefLen", 0x00200000);
    const auto adapter =
        pc.devices.AddAdapter({.slotBus = 5, .rootPortFilters = std::vector<std::u16string>{u"QN38UP"}});
    InsertCard(adapter, 6, u"Card");
    PrepareLog(4998, 4998);
    EXPECT_EQ(WriteLog(pc.platform(), "t"), 1);
    // Title, registry, filter, slot, card: slots 4998, 4999, then 1, 2, 3.
    EXPECT_EQ(Header().nextSlot, 4u);
    EXPECT_EQ(Entry(4999).substr(0, 12), "\r\nRegistry\r\n");
    EXPECT_EQ(Entry(3).substr(0, 13), "\r\nExpressCard");
}

}  // namespace
}  // namespace qn38
