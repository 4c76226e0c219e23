// The simulator: the scenario language and its errors, the default run end to
// end, expectations that fail and the step they name, the QN38.LOG it keeps
// on disk, and commands the machine cannot carry out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "lib/include/QN38HotPlug.h"
#include "lib/core/diagnostic_log.h"
#include "lib/core/log_layout.h"
#include "lib/core/log_reader.h"
#include "tool/res/resource.h"
#include "sim/simulator/log_folder.h"
#include "sim/simulator/program.h"
#include "sim/simulator/scenario.h"

namespace qn38::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;

// A folder of the test's own, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("qn38sim-" + std::to_string(::getpid()) + "-" + test->test_suite_name() + "-" + test->name());
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

Command Parsed(std::string_view line) {
    const ParsedLine parsed = ParseScenarioLine(line, 1);
    EXPECT_FALSE(parsed.error) << parsed.error->message;
    return parsed.command.value_or(Command{});
}

std::string ErrorOf(std::string_view line) {
    const ParsedLine parsed = ParseScenarioLine(line, 1);
    EXPECT_FALSE(parsed.command) << "accepted: " << line;
    return parsed.error ? parsed.error->message : std::string();
}

// --- the scenario language ---

TEST(ScenarioLanguage, ParseErrorsNameEveryBadLineAndKeepTheGoodOnes) {
    const ParsedScenario scenario = ParseScenario(
        "# a comment\n"
        "slot 5\n"
        "insert 300\n"
        "\n"
        "frobnicate now\n"
        "wait\n"
        "expect-balloon \"not closed\n");
    ASSERT_THAT(scenario.errors, SizeIs(3));
    EXPECT_EQ(scenario.errors[0].line, 3);
    EXPECT_THAT(scenario.errors[0].message, HasSubstr("insert: the bus must be a number from 0 to 255"));
    EXPECT_THAT(scenario.errors[0].message, HasSubstr("usage: insert BUS"));
    EXPECT_EQ(scenario.errors[1].line, 5);
    EXPECT_THAT(scenario.errors[1].message, HasSubstr("unknown command \"frobnicate\""));
    EXPECT_EQ(scenario.errors[2].line, 7);
    EXPECT_THAT(scenario.errors[2].message, HasSubstr("not closed"));
    ASSERT_THAT(scenario.commands, SizeIs(2));
    EXPECT_EQ(scenario.commands[0].line, 2);
    EXPECT_EQ(scenario.commands[1].line, 6);
}

TEST(ScenarioLanguage, MissingAndSurplusWordsAreRefusedWithTheUsage) {
    EXPECT_THAT(ErrorOf("pull"), HasSubstr("the bus is missing"));
    EXPECT_THAT(ErrorOf("pull 5 now"), HasSubstr("unexpected \"now\""));
    EXPECT_THAT(ErrorOf("click middle"), HasSubstr("must be one of left|right"));
    EXPECT_THAT(ErrorOf("menu none"), HasSubstr("stop|settings|about|exit"));
    EXPECT_THAT(ErrorOf("open-file 5"), HasSubstr("drive letter"));
    EXPECT_THAT(ErrorOf("insert 5 disk 5"), HasSubstr("from A to Z"));
    EXPECT_THAT(ErrorOf("insert 5 folder Card"), HasSubstr("a folder such as"));
    EXPECT_THAT(ErrorOf("close-file volume"), HasSubstr("is missing"));
    EXPECT_THAT(ErrorOf("insert 5 wings"), HasSubstr("unknown option \"wings\""));
    EXPECT_THAT(ErrorOf("wait 0"), HasSubstr("from 1 to 1000"));
    EXPECT_THAT(ErrorOf("step"), HasSubstr("title is missing"));
    EXPECT_THAT(ErrorOf("driver-key 1 2 0x100000000"), HasSubstr("EndAdrs must be a number"));
    EXPECT_THAT(ErrorOf("settings ok size 010"), HasSubstr("unexpected \"size\""));
    EXPECT_THAT(ErrorOf("insert 5 training 1s"), HasSubstr("training must be a number"));
    EXPECT_THAT(ErrorOf("fail-read 5 0x100"), HasSubstr("the offset must be a number from 0 to 252"));
}

TEST(ScenarioLanguage, QuotesEscapesAndCommentsMakeWords) {
    const Command balloon = Parsed(R"(expect-balloon "a \"quoted\" # not a comment \\ " # a comment)");
    EXPECT_EQ(balloon.verb, Verb::ExpectBalloon);
    EXPECT_EQ(balloon.stringId, 0u);
    EXPECT_EQ(balloon.text, R"(a "quoted" # not a comment \ )");
    EXPECT_EQ(balloon.source, R"(expect-balloon "a \"quoted\" # not a comment \\ ")");

    const Command step = Parsed("step   A card   is inserted  # noted");
    EXPECT_EQ(step.text, "A card is inserted");
    EXPECT_FALSE(ParseScenarioLine("   # only a comment", 1).command);
    EXPECT_FALSE(ParseScenarioLine("", 1).error);
}

TEST(ScenarioLanguage, NumbersLettersAndOptionsAreRead) {
    EXPECT_EQ(Parsed("pull 0x0A").bus, 10);
    EXPECT_EQ(Parsed("pull 10").bus, 10);
    EXPECT_EQ(Parsed("open-file e:").volume.letter, 'E');
    EXPECT_EQ(Parsed(R"(close-file C:\Card)").volume.folder, R"(C:\Card)");
    const Command byGuidPath = Parsed("open-file volume 5");
    EXPECT_EQ(byGuidPath.volume, CardVolume{});
    EXPECT_EQ(byGuidPath.bus, 5);
    EXPECT_EQ(static_cast<std::int32_t>(Parsed("power 0x8013 -1").values[1]), -1);

    const Command insert =
        Parsed(R"(insert 5 disk E disk b folder C:\Card volume needs device-cycle training 3 name "My Card")");
    EXPECT_THAT(insert.card.disks,
                ElementsAre(CardVolume{'E'}, CardVolume{'B'}, CardVolume{0, R"(C:\Card)"}, CardVolume{}));
    EXPECT_TRUE(insert.card.needsDeviceCycle);
    EXPECT_FALSE(insert.card.needsLinkCycle);
    EXPECT_EQ(insert.card.trainingReenumerations, 3);
    EXPECT_EQ(insert.card.name, "My Card");

    const Command settings = Parsed("settings startup on size 010 end 7FF cancel");
    EXPECT_EQ(settings.settings.startup, true);
    EXPECT_EQ(settings.settings.size, "010");
    EXPECT_FALSE(settings.settings.start);
    EXPECT_EQ(settings.settings.end, "7FF");
    EXPECT_TRUE(settings.settings.cancel);

    const Command stopped = Parsed("expect-balloon stopped \"My Card\"");
    EXPECT_EQ(stopped.stringId, static_cast<std::uint32_t>(IDS_STOPPED));
    EXPECT_EQ(stopped.name, "My Card");
    EXPECT_EQ(Parsed("menu stop 7").pick.bus, 7);
    EXPECT_EQ(Parsed("choose none").pick.item, MenuPick::Item::None);
    EXPECT_EQ(Parsed("wait").count, 2);

    const Command network = Parsed("network-drive n: unreachable");
    EXPECT_EQ(network.letter, 'N');
    EXPECT_TRUE(network.flag);
    EXPECT_FALSE(Parsed("network-drive N").flag);
    EXPECT_TRUE(Parsed("service hang").flag);
    EXPECT_FALSE(Parsed("service resume").flag);
    EXPECT_EQ(Parsed("shell-ready").verb, Verb::ShellReady);
    EXPECT_EQ(Parsed("insert 5 training 600ms").card.trainingMilliseconds, 600u);
    EXPECT_TRUE(Parsed("driver-key no-driver").flag);
    const Command failing = Parsed("fail-read 5 0x58 3");
    EXPECT_EQ(failing.values[0], 0x58u);
    EXPECT_EQ(failing.count, 3);
    EXPECT_EQ(Parsed("fail-read 5 0x58").count, 1);
}

// --- the program ---

struct Outcome {
    int status = 0;
    std::string out;
    std::string err;
};

Outcome RunWith(const std::vector<std::string>& arguments, const std::filesystem::path& workdir,
                const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    Outcome run;
    run.status = RunProgram(arguments, in, out, err, workdir);
    run.out = out.str();
    run.err = err.str();
    return run;
}

std::filesystem::path WriteScenario(const TempFolder& folder, const std::string& text) {
    const auto path = folder.path() / "test.qn38";
    std::ofstream(path) << text;
    return path;
}

class SimulatorProgram : public ::testing::Test {
protected:
    TempFolder folder;
};

TEST_F(SimulatorProgram, SmokeTheDefaultRunBehavesAsExpectedAndEndsWithTheDecodedLog) {
    const Outcome run = RunWith({}, folder.path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("ExpressCard SATA Controller cannot be stopped."));
    EXPECT_THAT(run.out, HasSubstr("ExpressCard SATA Controller stopped."));
    EXPECT_THAT(run.out, HasSubstr("ExpressCard SATA Controller started."));
    EXPECT_THAT(run.out, HasSubstr("QN38 Link Test Card started."));
    EXPECT_THAT(run.out, HasSubstr("HotPlug driver was registered."));
    EXPECT_THAT(run.out, HasSubstr("Memory allocation was changed."));
    EXPECT_THAT(run.out, HasSubstr("---- end of the log ----"));
    EXPECT_THAT(run.out, HasSubstr("every step (10) behaved as expected"));
    EXPECT_THAT(run.out, Not(HasSubstr("FAILED")));

    // The log on disk is a whole report per event, oldest first: the banner before the stops.
    std::ifstream file(folder.path() / "QN38.LOG", std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const LogReadResult log = DecodeLog(bytes);
    ASSERT_TRUE(log.log) << log.error;
    ASSERT_THAT(log.log->entries, Not(IsEmpty()));
    EXPECT_THAT(log.log->entries.front().text, HasSubstr("-----QN38HotPlugTool Start-----"));
    EXPECT_THAT(log.log->entries.back().text, HasSubstr("Bus:0X05"));
}

TEST_F(SimulatorProgram, TheDefaultRunPassesInJapaneseWithTheJapaneseTexts) {
    const Outcome run = RunWith({"--lang", "ja"}, folder.path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("TAV-QN38EX HotPlug Tool"));
    EXPECT_THAT(run.out, HasSubstr("ExpressCard SATA Controllerを停止しました。"));
    EXPECT_THAT(run.out, Not(HasSubstr("stopped.")));
}

TEST_F(SimulatorProgram, AFailingExpectationFailsTheRunAndNamesItsStepAndLine) {
    const auto scenario = WriteScenario(folder,
                                        "slot 5\n"
                                        "step Start\n"
                                        "start\n"
                                        "step A card goes in\n"
                                        "insert 5 disk E\n"
                                        "wait\n"
                                        "expect-balloon start-failed\n"
                                        "step The card is stopped\n"
                                        "menu stop 5\n"
                                        "expect-balloon stopped\n");
    const Outcome run = RunWith({"--scenario", scenario.string()}, folder.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, HasSubstr("1 expectation(s) did not hold"));
    EXPECT_THAT(run.out, HasSubstr("step 2 \"A card goes in\", line 7: no such balloon in this step; shown: "
                                   "\"Please wait.\", \"ExpressCard SATA Controller started.\""));
    // The run goes on after a failed expectation: the later step still ran and held.
    EXPECT_THAT(run.out, HasSubstr("ExpressCard SATA Controller stopped."));
}

TEST_F(SimulatorProgram, ExpectationsLookOnlyAtTheirOwnStep) {
    const auto scenario = WriteScenario(folder,
                                        "slot 5\n"
                                        "start\n"
                                        "insert 5\n"
                                        "wait\n"
                                        "step The card is pulled\n"
                                        "pull 5\n"
                                        "wait\n"
                                        "expect-balloon started\n"
                                        "expect-request SetStatus(0x05,0,0,0)=1\n"
                                        "expect-no-balloon\n");
    const Outcome run = RunWith({"--scenario", scenario.string()}, folder.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, HasSubstr("line 8: no such balloon in this step; shown: none"));
    // The removal's own link request of this step does count.
    EXPECT_THAT(run.out, Not(HasSubstr("line 9")));
    EXPECT_THAT(run.out, Not(HasSubstr("line 10")));
}

TEST_F(SimulatorProgram, ParseErrorsNameFileAndLineAndRunNothing) {
    const auto scenario = WriteScenario(folder, "slot 5\nstart\ninsert five\n");
    const Outcome run =
        RunWith({"--scenario", scenario.string(), "--workdir", (folder.path() / "work").string()}, folder.path());
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr(scenario.string() + ":3: insert: the bus must be a number"));
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "work" / "QN38.LOG"));
}

TEST_F(SimulatorProgram, BadOptionsAndMissingFilesAreRefused) {
    EXPECT_EQ(RunWith({"--lang", "fr"}, folder.path()).status, 2);
    EXPECT_EQ(RunWith({"--scenario"}, folder.path()).status, 2);
    EXPECT_EQ(RunWith({"--fast"}, folder.path()).err.find("unknown option \"--fast\""), 9u);
    const Outcome missing = RunWith({"--scenario", (folder.path() / "none.qn38").string()}, folder.path());
    EXPECT_EQ(missing.status, 2);
    EXPECT_THAT(missing.err, HasSubstr("cannot be read"));
    const Outcome help = RunWith({"--help"}, folder.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("expect-balloon"));
}

TEST_F(SimulatorProgram, TheInteractivePromptRunsCommandsAndReportsBadLinesWithoutEnding) {
    const Outcome run = RunWith({"--interactive"}, folder.path(),
                                "help\n"
                                "slot 5\n"
                                "pull\n"
                                "start\n"
                                "expect-icon no-card\n"
                                "quit\n"
                                "expect-icon busy\n");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_THAT(run.out, HasSubstr("qn38> "));
    EXPECT_THAT(run.out, HasSubstr("open-file LETTER"));
    EXPECT_THAT(run.out, HasSubstr("line 3: pull: the bus is missing"));
    EXPECT_THAT(run.out, HasSubstr("poller:      started"));
}

TEST_F(SimulatorProgram, TheCardsOptionsReachTheMachine) {
    const auto scenario = WriteScenario(folder,
                                        "slot 5\n"
                                        "start\n"
                                        "step A card that needs the device cycle\n"
                                        "insert 5 needs device-cycle name \"Cycled Card\"\n"
                                        "wait 1\n"
                                        "expect-request SetStatus(0x05,2,1,0)=1\n"
                                        "expect-request SetStatus(0x05,1,1,0)=1\n"
                                        "expect-balloon started \"Cycled Card\"\n"
                                        "pull 5\n"
                                        "wait 1\n"
                                        "step A card that never trains\n"
                                        "insert 5 training 100000\n"
                                        "wait 1\n"
                                        "expect-balloon start-failed ExpressCard\n"
                                        "expect-card 5 absent\n"
                                        "step Two disks on one card\n"
                                        "pull 5\n"
                                        "wait 1\n"
                                        "insert 5 disk G disk H\n"
                                        "wait 1\n"
                                        "open-file H\n"
                                        "menu stop 5\n"
                                        "expect-balloon stop-failed\n");
    const Outcome run = RunWith({"--scenario", scenario.string()}, folder.path());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_THAT(run.out, HasSubstr("a disk with G:, a disk with H:"));
}

TEST_F(SimulatorProgram, KeepLogGoesOnWithTheEarlierRunsLogAndTheClockMovesOn) {
    const auto scenario = WriteScenario(folder,
                                        "step One\n"
                                        "start\n"
                                        "step Two\n"
                                        "power 4 0\n");
    ASSERT_EQ(RunWith({"--scenario", scenario.string()}, folder.path()).status, 0);
    ASSERT_EQ(RunWith({"--scenario", scenario.string(), "--keep-log"}, folder.path()).status, 0);

    std::ifstream file(folder.path() / "QN38.LOG", std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const LogReadResult log = DecodeLog(bytes);
    ASSERT_TRUE(log.log) << log.error;
    std::vector<std::string> titles;
    for (const auto& entry : log.log->entries) titles.push_back(entry.text);
    // Each run: the banner at 9:31:01 (a step and a command in), the broadcast a step and a command later.
    EXPECT_THAT(titles,
                ElementsAre(HasSubstr("Start-----"), HasSubstr("WM_POWERBROADCAST(wp:4,lp:0)\r\n2026/12/07 09:32:02"),
                            HasSubstr("Start-----"), HasSubstr("WM_POWERBROADCAST")));
    EXPECT_THAT(titles[0], HasSubstr("2026/12/07 09:31:01"));
}

// --- commands the machine cannot carry out ---

TEST_F(SimulatorProgram, CommandsTheMachineCannotCarryOutFailTheirStep) {
    const auto runnable = WriteScenario(folder,
                                        "slot 5\n"
                                        "slot 5\n"
                                        "step Acting on nothing\n"
                                        "wait\n"
                                        "pull 5\n"
                                        "open-file E\n"
                                        "start\n"
                                        "start\n"
                                        "menu stop 5\n"
                                        "menu stop 6\n"
                                        "insert 5 disk E\n"
                                        "wait\n"
                                        "close-file E\n"
                                        "expect-card 9 absent\n");
    const Outcome failing = RunWith({"--scenario", runnable.string()}, folder.path());
    EXPECT_EQ(failing.status, 1);
    EXPECT_THAT(failing.out, HasSubstr("step 0, line 2: there is a slot on bus 0x05 already"));
    EXPECT_THAT(failing.out, HasSubstr("line 4: the tool is not running yet"));
    EXPECT_THAT(failing.out, HasSubstr("line 5: the slot on bus 0x05 holds no card"));
    EXPECT_THAT(failing.out, HasSubstr("line 6: there is no volume E:"));
    EXPECT_THAT(failing.out, HasSubstr("line 8: the tool has been started already"));
    EXPECT_THAT(failing.out, HasSubstr("line 9: the stop menu holds no item for the slot on bus 0x05"));
    EXPECT_THAT(failing.out, HasSubstr("line 10: the tool found no slot on bus 0x06"));
    EXPECT_THAT(failing.out, HasSubstr("line 13: no program holds a file open on E:"));
    EXPECT_THAT(failing.out, HasSubstr("line 14: the machine has no slot on bus 0x09"));
    EXPECT_THAT(failing.out, HasSubstr("9 expectation(s) did not hold"));
}

TEST_F(SimulatorProgram, AfterExitTheToolTakesNoMoreClicks) {
    const auto scenario = WriteScenario(folder,
                                        "start\n"
                                        "menu exit\n"
                                        "expect-icon none\n"
                                        "click left\n");
    const Outcome run = RunWith({"--scenario", scenario.string()}, folder.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, HasSubstr("poller:      not started: the tool found no slot"));
    EXPECT_THAT(run.out, HasSubstr("line 4: the tool has ended"));
    EXPECT_THAT(run.out, Not(HasSubstr("line 3")));
}

TEST_F(SimulatorProgram, AYesToTheRestartPromptEndsTheToolWithARestart) {
    const auto scenario = WriteScenario(folder,
                                        "slot 5 no-filter\n"
                                        "answer yes\n"
                                        "start\n"
                                        "expect-restart yes\n"
                                        "expect-message filter-registered\n"
                                        "wait\n");
    const Outcome run = RunWith({"--scenario", scenario.string()}, folder.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, HasSubstr("system:      Windows restarts"));
    EXPECT_THAT(run.out, HasSubstr("line 6: the tool has ended"));
    EXPECT_THAT(run.out, HasSubstr("1 expectation(s)"));
}

TEST_F(SimulatorProgram, SettingsTheDialogRefusesAreClosedWithCancelAndChangeNothing) {
    const auto scenario = WriteScenario(folder,
                                        "slot 5\n"
                                        "driver-key 0x00200000 0 0xEFFFFFFF\n"
                                        "start\n"
                                        "settings size 000\n"
                                        "expect-message size-is-zero\n"
                                        "expect-no-balloon\n"
                                        "step Nothing was sent\n"
                                        "expect-request WriteLog(MemoryChange)\n");
    const Outcome run = RunWith({"--scenario", scenario.string()}, folder.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, HasSubstr("Memory Size must not be zero."));
    EXPECT_THAT(run.out, HasSubstr("the dialog stays open; the user presses Cancel"));
    EXPECT_THAT(run.out, HasSubstr("line 8: the service did not perform WriteLog(MemoryChange)"));
    EXPECT_THAT(run.out, HasSubstr("1 expectation(s)"));
}

// --- the log on disk ---

class LogOnDisk : public ::testing::Test {
protected:
    std::vector<std::uint8_t> OnDisk(const LogFolder& logs) {
        return logs.Read(logs.LogPath(), LOG_FILE_MAX_BYTES).value_or(std::vector<std::uint8_t>{});
    }
    std::vector<std::uint8_t> Simulated() {
        const auto* bytes = pc.files.Find(u"C:\\Program Files\\QN38\\QN38.LOG");
        return bytes ? *bytes : std::vector<std::uint8_t>{};
    }

    TempFolder folder;
    SimPc pc;
};

TEST_F(LogOnDisk, EveryWriteReachesTheFileOnDiskByteForByte) {
    LogFolder logs(folder.path(), pc.files, false);
    ASSERT_NE(WriteLogFile(pc.platform(), u"first"), 0);
    ASSERT_NE(WriteLog(pc.platform(), "A title"), 0);
    ASSERT_NE(WriteLogFile(pc.platform(), u"last"), 0);
    // The header, the two entries and the report's one title entry (no adapter, no driver key).
    EXPECT_EQ(OnDisk(logs).size(), 4u * LOG_SLOT_SIZE);
    EXPECT_EQ(OnDisk(logs), Simulated());
    EXPECT_THAT(logs.Failures(), IsEmpty());
}

TEST_F(LogOnDisk, ARunStartsAFreshLogUnlessTheEarlierOneIsKept) {
    {
        LogFolder logs(folder.path(), pc.files, false);
        WriteLogFile(pc.platform(), u"from the earlier run");
    }
    SimPc fresh;
    LogFolder kept(folder.path(), fresh.files, true);
    WriteLogFile(fresh.platform(), u"from this run");
    const auto decoded = DecodeLog(OnDisk(kept));
    ASSERT_TRUE(decoded.log);
    ASSERT_THAT(decoded.log->entries, SizeIs(2));
    EXPECT_EQ(decoded.log->entries[0].text, "from the earlier run");
    EXPECT_EQ(decoded.log->entries[1].text, "from this run");

    SimPc again;
    LogFolder restarted(folder.path(), again.files, false);
    EXPECT_FALSE(std::filesystem::exists(restarted.LogPath()));
    WriteLogFile(again.platform(), u"alone");
    const auto alone = DecodeLog(OnDisk(restarted));
    ASSERT_TRUE(alone.log);
    EXPECT_THAT(alone.log->entries, SizeIs(1));
}

TEST_F(LogOnDisk, OnlyFilesOfTheServicesFolderWithPlainNamesAreMirrored) {
    LogFolder logs(folder.path() / "work", pc.files, false);
    for (const std::u16string path : {u"C:\\Windows\\QN38.LOG", u"C:\\Program Files\\QN38\\..\\escape.txt",
                                      u"C:\\Program Files\\QN38\\sub\\deep.txt"}) {
        auto file = pc.files.OpenAlways(path);
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->WriteAt(0, "x", 1));
    }
    auto own = pc.files.OpenAlways(u"c:\\program files\\qn38\\Notes.txt");
    ASSERT_TRUE(own->WriteAt(3, "abc", 3));

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.path())) {
        names.push_back(std::filesystem::relative(entry.path(), folder.path()).string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_THAT(names, ElementsAre("work", "work/Notes.txt"));
    std::ifstream notes(folder.path() / "work" / "Notes.txt", std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(notes)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, std::string("\0\0\0abc", 6));
}

TEST_F(LogOnDisk, AWorkingFolderThatCannotBeMadeIsRefused) {
    std::ofstream(folder.path() / "plain-file") << "in the way";
    EXPECT_THROW(LogFolder(folder.path() / "plain-file" / "log", pc.files, false), std::runtime_error);
    EXPECT_FALSE(pc.files.onWrite);
}

}  // namespace
}  // namespace qn38::sim
