// Reading a log sent in by a user: the ring from oldest to newest, and a
// clear refusal of anything that is no log.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/core/diagnostic_log.h"
#include "lib/core/log_layout.h"
#include "lib/logreader/code_page.h"
#include "lib/core/log_reader.h"
#include "sim/machine/sim_pc.h"

namespace qn38 {
namespace {

constexpr char16_t kLogPath[] = u"C:\\Program Files\\QN38\\QN38.LOG";

std::vector<std::uint32_t> Slots(const DecodedLog& log) {
    std::vector<std::uint32_t> slots;
    for (const auto& entry : log.entries) slots.push_back(entry.slot);
    return slots;
}

std::vector<std::string> Texts(const DecodedLog& log) {
    std::vector<std::string> texts;
    for (const auto& entry : log.entries) texts.push_back(entry.text);
    return texts;
}

class LogReader : public ::testing::Test {
protected:
    const std::vector<std::uint8_t>& File() { return *pc.files.Find(kLogPath); }
    void Write(const std::u16string& text) { ASSERT_NE(WriteLogFile(pc.platform(), text.c_str()), 0); }

    sim::SimPc pc;
};

TEST_F(LogReader, SmokeReadsWhatTheWriterWrote) {
    Write(u"first");
    Write(u"second\r\nline");
    const auto result = DecodeLog(File());
    ASSERT_TRUE(result.log) << result.error;
    EXPECT_EQ(result.log->created, "2026/12/07 09:30:00");
    EXPECT_EQ(result.log->nextSlot, 3u);
    EXPECT_EQ(Texts(*result.log), (std::vector<std::string>{"first", "second\r\nline"}));
}

TEST_F(LogReader, AfterTheWrapTheOldestEntryComesFirst) {
    for (int i = 0; i < 4999 + 2; ++i) Write(u"e" + std::u16string(1, char16_t(u'0' + i % 10)));
    const auto result = DecodeLog(File());
    ASSERT_TRUE(result.log);
    ASSERT_EQ(result.log->entries.size(), 4999u);
    // Slots 1 and 2 were overwritten last: the ring starts at 3 and ends at 2.
    EXPECT_EQ(result.log->entries.front().slot, 3u);
    EXPECT_EQ(result.log->entries.back().slot, 2u);
    EXPECT_EQ(result.log->entries.back().text, "e" + std::to_string(5000 % 10));
}

TEST_F(LogReader, AHeaderAloneHasNoEntries) {
    ASSERT_NE(WriteLogFile(pc.platform(), nullptr), 0);
    const auto result = DecodeLog(File());
    ASSERT_TRUE(result.log);
    EXPECT_TRUE(result.log->entries.empty());
}

TEST_F(LogReader, AFullSlotKeepsAll200Bytes) {
    Write(std::u16string(250, u'x'));
    Write(u"next");
    const auto result = DecodeLog(File());
    ASSERT_TRUE(result.log);
    EXPECT_EQ(Texts(*result.log), (std::vector<std::string>{std::string(200, 'x'), "next"}));
}

TEST_F(LogReader, ACutLastSlotIsReadAsFarAsItGoes) {
    Write(u"one");
    Write(u"two");
    auto bytes = File();
    bytes.resize(400 + 2);
    const auto result = DecodeLog(bytes);
    ASSERT_TRUE(result.log);
    EXPECT_EQ(Texts(*result.log), (std::vector<std::string>{"one", "tw"}));
}

TEST_F(LogReader, BytesBeyondTheRingAreIgnored) {
    Write(u"one");
    auto bytes = File();
    bytes.resize(1'200'000, 'z');
    const auto result = DecodeLog(bytes);
    ASSERT_TRUE(result.log);
    EXPECT_EQ(result.log->entries.size(), 4999u);
    EXPECT_EQ(Slots(*result.log).back(), 1u);
}

TEST_F(LogReader, ACreationTimeWithoutTerminatorIsKeptWhole) {
    Write(u"one");
    auto bytes = File();
    std::memset(bytes.data() + 8, '7', 20);
    const auto result = DecodeLog(bytes);
    ASSERT_TRUE(result.log);
    EXPECT_EQ(result.log->created, std::string(20, '7'));
}

TEST(LogReaderRefuses, AFileTooShortForAHeader) {
    const std::vector<std::uint8_t> bytes(199, 0);
    const auto result = DecodeLog(bytes);
    EXPECT_FALSE(result.log);
    EXPECT_NE(result.error.find("too short"), std::string::npos);
    EXPECT_FALSE(DecodeLog({}).log);
}

TEST(LogReaderRefuses, AFileWithoutTheMarker) {
    std::vector<std::uint8_t> bytes(400, 'A');
    const auto result = DecodeLog(bytes);
    EXPECT_FALSE(result.log);
    EXPECT_NE(result.error.find("marker"), std::string::npos);
}

TEST(LogReaderRefuses, ANextSlotOutsideTheRing) {
    for (std::uint32_t next : {0u, 5000u, 0x80000000u}) {
        LogHeader header{};
        std::memcpy(header.marker, LOG_MARKER, 8);
        header.nextSlot = next;
        const LogSlot slot = EncodeLogHeader(header);
        const auto result = DecodeLog(slot);
        EXPECT_FALSE(result.log) << next;
        EXPECT_NE(result.error.find("next slot " + std::to_string(next)), std::string::npos) << result.error;
    }
}

TEST_F(LogReader, ADamagedHeaderIsSalvagedSlotBySlot) {
    Write(u"first");
    Write(u"second");
    Write(u"third");
    std::vector<std::uint8_t> bytes = File();
    bytes[0] = 'X';                                          // the marker is gone
    std::fill(bytes.begin() + 400, bytes.begin() + 600, 0);  // and slot 2 with it
    EXPECT_FALSE(DecodeLog(bytes).log);
    const auto result = SalvageLog(bytes);
    ASSERT_TRUE(result.log) << result.error;
    EXPECT_EQ(Slots(*result.log), (std::vector<std::uint32_t>{1, 3}));
    EXPECT_EQ(Texts(*result.log), (std::vector<std::string>{"first", "third"}));
    EXPECT_EQ(RenderLog(*result.log).substr(0, 32), "QN38.LOG with a damaged header: ");
    EXPECT_FALSE(SalvageLog(std::vector<std::uint8_t>(200, 'A')).log);
}

TEST(LogCodePage, JapaneseTextIsDecodedAndACharacterCutAtTheSlotsEndShowsAsOneReplacement) {
    const auto decoder = logreader::OpenCodePage(932);
    ASSERT_TRUE(decoder);
    // "カード" in code page 932; 0x5C is the second byte of "ソ", never a backslash there.
    EXPECT_EQ(decoder->Decode("\x83\x4A\x81\x5B\x83\x68"), "カード");
    EXPECT_EQ(decoder->Decode("\x83\x5C"), "ソ");
    // 199 bytes of text, then the lead byte of a character whose second byte the slot had no room for.
    const std::string slot = std::string(199, 'a') + "\x83";
    EXPECT_EQ(decoder->Decode(slot), std::string(199, 'a') + std::string(logreader::REPLACEMENT_CHARACTER));
    // A byte that starts no character is replaced, and the text goes on.
    EXPECT_EQ(decoder->Decode("a\xFF"
                              "b"),
              "a" + std::string(logreader::REPLACEMENT_CHARACTER) + "b");
    EXPECT_FALSE(logreader::OpenCodePage(12345));
}

TEST(LogListing, ShowsTheCreationTimeAndEachEntryUnderItsSlot) {
    DecodedLog log;
    log.created = "2026/12/07 09:30:00";
    log.nextSlot = 3;
    log.entries = {{1, "\r\n\r\nLinkDisable(Bus0x05)\r\n2026/12/07 09:30:00"}, {2, "plain"}};
    EXPECT_EQ(RenderLog(log),
              "QN38.LOG created 2026/12/07 09:30:00, next slot 3, 2 entries, oldest first\n"
              "[slot 1]\n\nLinkDisable(Bus0x05)\n2026/12/07 09:30:00\n"
              "[slot 2]\nplain\n");
}

TEST(LogListing, KeepsLoneLineBreakCharacters) {
    DecodedLog log;
    log.nextSlot = 2;
    log.entries = {{1, "a\rb\nc"}};
    EXPECT_NE(RenderLog(log).find("[slot 1]\na\rb\nc\n"), std::string::npos);
}

}  // namespace
}  // namespace qn38
