// qn38ctl on the simulated PC: each command and each exit code a script
// relies on, and its stops and starts beside a running tray tool.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "lib/include/QN38HotPlug.h"
#include "sim/tool/sim_ctl.h"
#include "sim/tool/sim_tray_tool.h"

namespace qn38 {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

const std::vector<std::u16string> WITH_FILTER = {u"QN38UP"};
const std::string STOPPED = "ExpressCard SATA Controller stopped.\nExpressCard can be remove safty from the slot.\n";

class Ctl : public ::testing::Test {
protected:
    Ctl() { pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER}); }

    ctl::CtlResult Run(std::vector<std::string> arguments) { return ctl.Run(arguments); }
    std::vector<std::string> Requests(std::size_t from) {
        std::vector<std::string> requests;
        const auto exchanges = shared.service.Exchanges();
        for (std::size_t i = from; i < exchanges.size(); ++i)
            requests.push_back(sim::DescribeRequest(exchanges[i].reply));
        return requests;
    }

    sim::SimPc pc;
    sim::SimSharedPc shared{pc};
    sim::SimCtl ctl{shared};
};

TEST_F(Ctl, StatusListsEverySlotTheServiceTheFilterAndTheWindow) {
    pc.AddSlot({.slotBus = 8, .rootPortFilters = std::vector<std::u16string>{}});
    pc.slot(5).InsertCard({.description = u"Card \"Q\"\\1"});
    ASSERT_EQ(Run({"start", "5"}).exitCode, ctl::EXIT_DONE);
    pc.registry.SetDword(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"DefLen", 0x00200000);
    pc.registry.SetDword(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"EndAdrs", 0xEFFFFFFF);

    const auto json = Run({"status", "--json"});
    EXPECT_EQ(json.exitCode, ctl::EXIT_DONE);
    EXPECT_THAT(json.out, HasSubstr("{\"service\": \"running\", \"filter\": false, \"window\": {\"size\": 2097152, "
                                    "\"start\": 0, \"end\": 4026531839}, \"slots\": [{\"bus\": 5, \"present\": true, "
                                    "\"link\": \"enabled\", \"device\": {\"description\": \"Card \\\"Q\\\"\\\\1\", "
                                    "\"status\": "));
    EXPECT_THAT(json.out, HasSubstr(", \"problem\": 0}}, {\"bus\": 8, \"present\": false, \"link\": \"enabled\", "
                                    "\"device\": null}]}\n"));

    const auto text = Run({"status"});
    EXPECT_THAT(text.out, HasSubstr("service: running\nfilter: missing on a root port of the adapter\n"
                                    "window: size 0x00200000, start 0x00000000, end 0xEFFFFFFF\n"
                                    "slot 0x05: card in, link enabled, device \"Card \"Q\"\\1\" (status 0x"));
    EXPECT_THAT(text.out, HasSubstr("slot 0x08: empty, link enabled, no device\n"));

    // Without the driver's key, and with the service gone from the PC.
    pc.registry.DeleteKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH));
    ctl.installed.installed = false;
    EXPECT_THAT(Run({"status", "--json"}).out,
                HasSubstr("{\"service\": \"absent\", \"filter\": false, \"window\": null, \"slots\": [{"));
}

TEST_F(Ctl, StopIsTheToolsStopAndSaysItsOutcomeByExitCode) {
    pc.slot(5).InsertCard({.disks = {{.volumes = {{.letter = 'E'}}}}});
    ASSERT_EQ(Run({"start", "5"}).exitCode, ctl::EXIT_DONE);
    pc.storage.OpenFileOn('E');
    const auto before = shared.service.Exchanges().size();

    const auto refused = Run({"stop", "5"});
    EXPECT_EQ(refused.exitCode, ctl::EXIT_REFUSED);
    EXPECT_EQ(refused.out,
              "ExpressCard SATA Controller cannot be stopped.\nPlease retry again after terminating "
              "application which use ExpressCard. \nIn use by Disk drive.\n");
    EXPECT_FALSE(pc.slot(5).LinkDisabled());

    pc.storage.CloseFileOn('E');
    const auto stopped = Run({"stop", "0x05"});
    EXPECT_EQ(stopped.exitCode, ctl::EXIT_DONE);
    EXPECT_EQ(stopped.out, STOPPED);
    EXPECT_TRUE(pc.slot(5).LinkDisabled());
    EXPECT_FALSE(pc.slot(5).CardDevice().has_value());
    // Several instances serve the requests, each recording its exchange once
    // its client has the reply: the records come in their own order, and the
    // start's last ones may come in after `before` was taken.
    std::vector<std::string> requests;
    for (int waited = 0; waited < 1000 && requests.size() < 4; ++waited) {
        requests = Requests(before);
        std::erase_if(requests, [](const std::string& request) {
            return request == "WriteLog(LinkEnable(Bus0x05))" || request == "SetStatus(0x05,0,1,2)=1" ||
                   request == "SetStatus(0x05,0,0,0)=1";
        });
        if (requests.size() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The refusal's line names the veto and the disk Windows named.
    EXPECT_THAT(requests, UnorderedElementsAre(
                              "SetStatus(0x05,0,0,1)=0",
                              StartsWith("WriteLog(LinkDisable(Bus0x05) vetoed by PNP_VetoOutstandingOpen SCSI\\Disk"),
                              "SetStatus(0x05,0,0,1)=1", "WriteLog(LinkDisable(Bus0x05))"));
}

TEST_F(Ctl, StartBringsAStoppedCardBackOrSaysItCouldNot) {
    pc.slot(5).InsertCard();
    ASSERT_EQ(Run({"start", "5"}).exitCode, ctl::EXIT_DONE);
    ASSERT_EQ(Run({"stop", "5"}).exitCode, ctl::EXIT_DONE);

    const auto started = Run({"start", "5"});
    EXPECT_EQ(started.exitCode, ctl::EXIT_DONE);
    EXPECT_EQ(started.out, "ExpressCard SATA Controller started.\n");
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());

    pc.slot(5).PullCard();
    pc.slot(5).InsertCard({.problem = 28});
    const auto failed = Run({"start", "5"});
    EXPECT_EQ(failed.exitCode, ctl::EXIT_REFUSED);
    EXPECT_EQ(failed.out,
              "ExpressCard SATA Controller could not start.\nPlease confirm ExpressCard is inserted properly.\n");
}

TEST_F(Ctl, AServiceThatDoesNotAnswerIsExitThreeNotARefusal) {
    pc.slot(5).InsertCard();
    shared.service.Stop();
    for (const char* command : {"stop", "start"}) {
        const auto result = Run({command, "5"});
        EXPECT_EQ(result.exitCode, ctl::EXIT_NO_SERVICE) << command;
        EXPECT_EQ(result.err, "qn38ctl: the service QN38HotPlugService could not be reached\n");
    }
    EXPECT_THAT(Run({"status"}).out, HasSubstr("service: stopped\n"));
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
}

TEST_F(Ctl, BadArgumentsAndBusesWithoutASlotAreExitTwo) {
    const std::vector<std::vector<std::string>> bad = {{},
                                                       {"stop"},
                                                       {"stop", "5", "6"},
                                                       {"stop", "x5"},
                                                       {"start", "256"},
                                                       {"start", "0x"},
                                                       {"stop", "7"},
                                                       {"status", "--xml"},
                                                       {"log", "--code-page"},
                                                       {"log", "--code-page", "999999"},
                                                       {"eject", "5"}};
    const auto before = shared.service.Exchanges().size();
    for (const auto& arguments : bad) {
        EXPECT_EQ(Run(arguments).exitCode, ctl::EXIT_USAGE) << ::testing::PrintToString(arguments);
    }
    EXPECT_EQ(shared.service.Exchanges().size(), before);
}

TEST_F(Ctl, LogListsTheInstalledServicesLog) {
    pc.slot(5).InsertCard();
    ASSERT_EQ(Run({"start", "5"}).exitCode, ctl::EXIT_DONE);
    ASSERT_EQ(Run({"stop", "5"}).exitCode, ctl::EXIT_DONE);

    const auto listed = Run({"log", "--code-page", "1252"});
    EXPECT_EQ(listed.exitCode, ctl::EXIT_DONE) << listed.err;
    EXPECT_THAT(listed.out, HasSubstr("LinkDisable(Bus0x05)"));

    pc.files.Create(u"C:\\Program Files\\QN38\\QN38.LOG").assign(10, 0);
    EXPECT_EQ(Run({"log"}).exitCode, ctl::EXIT_REFUSED);
    ctl.installed.installed = false;
    EXPECT_EQ(Run({"log"}).exitCode, ctl::EXIT_NO_SERVICE);
}

TEST(CtlServicePath, TheExecutableIsFoundInEveryFormOfTheCommandLine) {
    EXPECT_EQ(ctl::ExecutableOfCommandLine(u"\"C:\\Program Files\\QN38\\QN38HotPlugService.exe\" -x"),
              u"C:\\Program Files\\QN38\\QN38HotPlugService.exe");
    EXPECT_EQ(ctl::ExecutableOfCommandLine(u"C:\\Program Files\\QN38\\QN38HotPlugService.EXE -x"),
              u"C:\\Program Files\\QN38\\QN38HotPlugService.EXE");
    EXPECT_EQ(ctl::ExecutableOfCommandLine(u"C:\\QN38\\svc.exe"), u"C:\\QN38\\svc.exe");
}

// A stop from the command line while a user's tool polls the slot: the
// tool's passes leave the card stopped, and a start from the command line
// is not taken down by them either.
TEST_F(Ctl, AStopOrStartBesideARunningToolIsNotUndoneByIt) {
    pc.slot(5).InsertCard({.lingerMilliseconds = 2000});
    sim::SimTrayTool tool{shared};
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());

    std::optional<ctl::CtlResult> stopped;
    // The command runs on its own thread, as another process would, while
    // the tool's window serves its poller.
    std::thread script([&] { stopped = Run({"stop", "5"}); });
    ASSERT_TRUE(tool.RunPollerPasses(4));
    script.join();
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(stopped->out, STOPPED);
    tool.OnMachine([&] { pc.clock.Advance(3000); });
    ASSERT_TRUE(tool.RunPollerPasses(4));
    EXPECT_TRUE(pc.slot(5).LinkDisabled());
    EXPECT_FALSE(pc.slot(5).CardDevice().has_value());

    std::optional<ctl::CtlResult> started;
    std::thread again([&] { started = Run({"start", "5"}); });
    ASSERT_TRUE(tool.RunPollerPasses(4));
    again.join();
    ASSERT_TRUE(tool.RunPollerPasses(4));
    EXPECT_EQ(started->exitCode, ctl::EXIT_DONE);
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
    tool.Exit();
}

}  // namespace
}  // namespace qn38
