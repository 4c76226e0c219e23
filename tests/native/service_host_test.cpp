// The service's lifecycle: what the service control manager is told, and
// when, from start to stop.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "service/core/platform_operations.h"
#include "service/core/service_host.h"
#include "service/core/stop_marks.h"
#include "sim/machine/sim_pc.h"
#include "tests/native/service_fakes.h"

namespace qn38::service {
namespace {

using namespace std::chrono_literals;
using testing::ClientScript;
using testing::RecordingOperations;
using testing::ScriptedConnection;
using testing::SetStatusRequest;
using testing::Wire;

// One log for the whole test, written from whichever thread acts.
class Journal {
public:
    void Add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        changed_.notify_all();
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool WaitFor(const std::string& line, long times = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 30s, [&] { return std::count(lines_.begin(), lines_.end(), line) >= times; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

std::string Name(std::uint32_t state) {
    switch (state) {
    case 1:
        return "STOPPED";
    case 2:
        return "START_PENDING";
    case 3:
        return "STOP_PENDING";
    case 4:
        return "RUNNING";
    }
    return "state " + std::to_string(state);
}

class RecordingReporter final : public StatusReporter {
public:
    explicit RecordingReporter(Journal& journal) : journal_(journal) {}

    bool Report(const ServiceStatusReport& report) override {
        std::lock_guard lock(mutex_);
        reports.push_back(report);
        const bool refused = refuseAll || (refuseState != 0 && report.currentState == refuseState);
        journal_.Add(Name(report.currentState) + (refused ? " refused" : ""));
        return !refused;
    }

    std::vector<ServiceStatusReport> Reports() {
        std::lock_guard lock(mutex_);
        return reports;
    }

    std::uint32_t refuseState = 0;
    bool refuseAll = false;

private:
    std::mutex mutex_;
    std::vector<ServiceStatusReport> reports;
    Journal& journal_;
};

// The pipe: a queue of clients that every instance takes from; with none left
// an instance waits for the stop signal, or fails when told to. It lets the
// service make up to `instances` instances.
class ScriptedServer final : public RequestServer, public StopSignal {
public:
    explicit ScriptedServer(Journal& journal, std::size_t instances = 1)
        : journal_(journal), cap_(instances), current_(PIPE_INSTANCE_CAP) {}

    void Raise() override {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

    std::size_t Instances() override { return made_; }
    bool AddInstance(std::uint32_t&) override {
        if (made_ >= cap_) return false;
        ++made_;
        return true;
    }

    Wake WaitForClient(std::size_t instance, std::uint32_t& error,
                       std::optional<std::chrono::milliseconds> bound) override {
        std::unique_lock lock(mutex_);
        if (!clients_.empty()) {
            current_[instance] = std::move(clients_.front());
            clients_.pop_front();
            journal_.Add("client");
            return Wake::ClientConnected;
        }
        if (failWait) {
            error = waitError;
            return Wake::Failed;
        }
        if (bound && !stopped_ && onBoundedWait) {
            // The test moves its clock on by the bound: nobody came meanwhile.
            journal_.Add("listening " + std::to_string(bound->count()) + "ms");
            onBoundedWait(*bound);
            return Wake::TimedOut;
        }
        journal_.Add("listening");
        changed_.wait(lock, [&] { return stopped_; });
        return Wake::Stop;
    }

    ServiceConnection& Client(std::size_t instance) override { return *current_[instance]; }

    void AddClient(ClientScript script) {
        std::lock_guard lock(mutex_);
        // Each client's steps apart: instances serve on threads of their own.
        clients_.push_back(std::make_unique<ScriptedConnection>(std::move(script), steps_.emplace_back()));
    }

    bool failWait = false;
    std::function<void(std::chrono::milliseconds)> onBoundedWait;
    std::uint32_t waitError = 6;  // ERROR_INVALID_HANDLE

private:
    Journal& journal_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
    std::deque<std::vector<std::string>> steps_;
    std::deque<std::unique_ptr<ScriptedConnection>> clients_;
    const std::size_t cap_;
    std::atomic<std::size_t> made_{1};
    std::vector<std::unique_ptr<ScriptedConnection>> current_;
};

// Hands the host a server that it owns and destroys; the test keeps a view of it.
class ServerHandle final : public RequestServer {
public:
    ServerHandle(ScriptedServer& server, Journal& journal) : server_(server), journal_(journal) {}
    ~ServerHandle() override { journal_.Add("pipe closed"); }
    std::size_t Instances() override { return server_.Instances(); }
    bool AddInstance(std::uint32_t& error) override { return server_.AddInstance(error); }
    Wake WaitForClient(std::size_t instance, std::uint32_t& error,
                       std::optional<std::chrono::milliseconds> bound) override {
        return server_.WaitForClient(instance, error, bound);
    }
    ServiceConnection& Client(std::size_t instance) override { return server_.Client(instance); }

private:
    ScriptedServer& server_;
    Journal& journal_;
};

class ScriptedFactory final : public RequestServerFactory {
public:
    ScriptedFactory(ScriptedServer& server, Journal& journal) : server_(server), journal_(journal) {}
    std::unique_ptr<RequestServer> CreateServer(std::uint32_t& error) override {
        journal_.Add("pipe created");
        if (fail) {
            error = failure;
            return nullptr;
        }
        return std::make_unique<ServerHandle>(server_, journal_);
    }
    bool fail = false;
    std::uint32_t failure = 5;  // ERROR_ACCESS_DENIED, as for a name held by another process

private:
    ScriptedServer& server_;
    Journal& journal_;
};

class ServiceLifecycle : public ::testing::Test {
protected:
    ~ServiceLifecycle() override {
        if (thread.joinable()) {
            host.HandleControl(CONTROL_STOP);
            thread.join();
        }
    }

    void RunInBackground() {
        thread = std::thread([this] { host.Run(factory, operations); });
    }

    void Join() { thread.join(); }

    Journal journal;
    RecordingReporter reporter{journal};
    ScriptedServer server{journal};
    ScriptedFactory factory{server, journal};
    std::vector<std::string> operationSteps;
    RecordingOperations operations{operationSteps};
    // Progress reports of a long stop only where a test asks for them.
    ServiceHost host{reporter, server, ExchangeLimits{.requestRead = 50ms, .replyWrite = 50ms, .replyTaken = 50ms},
                     24h};
    std::thread thread;
};

ServiceRequest SetSizeRequest() {
    ServiceRequest request;
    request.command = CMD_SET_SIZE;
    request.defLen = 0x00200000;
    request.endAdrs = 0xEFFFFFFF;
    return request;
}

// --- status reports ---

TEST_F(ServiceLifecycle, SmokeStartsPendingThenRunsWithStopAndShutdownAccepted) {
    RunInBackground();
    ASSERT_TRUE(journal.WaitFor("listening"));
    const auto reports = reporter.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0],
              (ServiceStatusReport{
                  .serviceType = 0x10, .currentState = 2, .controlsAccepted = 0, .checkPoint = 1, .waitHint = 3000}));
    EXPECT_EQ(reports[1], (ServiceStatusReport{.serviceType = 0x10, .currentState = 4, .controlsAccepted = 5}));
    EXPECT_EQ(journal.Lines(), (std::vector<std::string>{"START_PENDING", "pipe created", "RUNNING", "listening"}));
}

TEST_F(ServiceLifecycle, InterrogateReReportsTheCurrentStateWithItsControls) {
    host.ReportStatus(ServiceState::StartPending, 1, PENDING_WAIT_HINT_MS);
    host.HandleControl(CONTROL_INTERROGATE);
    EXPECT_EQ(reporter.Reports().back(), (ServiceStatusReport{.serviceType = 0x10, .currentState = 2}));

    host.ReportStatus(ServiceState::Running, 0, 0);
    host.HandleControl(CONTROL_INTERROGATE);
    host.HandleControl(0x80);  // a control the service does not know is answered the same way
    const auto reports = reporter.Reports();
    EXPECT_EQ(reports[reports.size() - 2],
              (ServiceStatusReport{.serviceType = 0x10, .currentState = 4, .controlsAccepted = 5}));
    EXPECT_EQ(reports.back(), reports[reports.size() - 2]);
}

// --- stopping ---

TEST_F(ServiceLifecycle, StopWhileWaitingClosesThePipeBeforeReportingStopped) {
    RunInBackground();
    ASSERT_TRUE(journal.WaitFor("listening"));
    host.HandleControl(CONTROL_STOP);
    Join();
    EXPECT_EQ(journal.Lines(), (std::vector<std::string>{"START_PENDING", "pipe created", "RUNNING", "listening",
                                                         "STOP_PENDING", "pipe closed", "STOPPED"}));
    const auto reports = reporter.Reports();
    EXPECT_EQ(reports[2],
              (ServiceStatusReport{
                  .serviceType = 0x10, .currentState = 3, .controlsAccepted = 5, .checkPoint = 1, .waitHint = 3000}));
    EXPECT_EQ(reports[3], (ServiceStatusReport{.serviceType = 0x10, .currentState = 1, .controlsAccepted = 5}));
    EXPECT_EQ(host.CurrentState(), ServiceState::Stopped);
}

TEST_F(ServiceLifecycle, ShutdownStopsLikeStop) {
    RunInBackground();
    ASSERT_TRUE(journal.WaitFor("listening"));
    host.HandleControl(CONTROL_SHUTDOWN);
    Join();
    EXPECT_EQ(journal.Lines().back(), "STOPPED");
}

TEST_F(ServiceLifecycle, StopDuringARequestLetsItFinishBeforeStopped) {
    // The stop control arrives while the export runs.
    class StoppedMidway final : public ServiceOperations {
    public:
        StoppedMidway(ServiceHost& host, Journal& journal) : host_(host), journal_(journal) {}
        int AddFilter() override { return 0; }
        int SetStatus(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
        int SetSize(std::uint32_t, std::uint32_t, std::uint32_t) override {
            host_.HandleControl(CONTROL_STOP);
            journal_.Add("SetSize done");
            return 1;
        }
        int WriteLog(const char*) override { return 0; }
        std::uint32_t LastError() override { return 0; }

    private:
        ServiceHost& host_;
        Journal& journal_;
    } operationsStoppedMidway(host, journal);

    server.AddClient({.sends = Wire(SetSizeRequest())});
    server.AddClient({.sends = Wire(SetSizeRequest())});
    host.ObserveExchanges([&](const ExchangeReport& report) {
        journal.Add(report.end == ExchangeEnd::Answered ? "answered" : "not answered");
    });
    host.Run(factory, operationsStoppedMidway);

    EXPECT_EQ(journal.Lines(),
              (std::vector<std::string>{"START_PENDING", "pipe created", "RUNNING", "client", "STOP_PENDING",
                                        "SetSize done", "answered", "pipe closed", "STOPPED"}));
}

TEST_F(ServiceLifecycle, StopDuringALongRequestKeepsReportingProgressUntilStopped) {
    ServiceHost patient{reporter, server, {}, 10ms};
    class SlowToFinish final : public RecordingOperations {
    public:
        SlowToFinish(std::vector<std::string>& steps, ServiceHost& host, Journal& journal)
            : RecordingOperations(steps), host_(host), journal_(journal) {}
        int SetSize(std::uint32_t, std::uint32_t, std::uint32_t) override {
            host_.HandleControl(CONTROL_STOP);
            // Longer than one interval, however the threads are scheduled.
            EXPECT_TRUE(journal_.WaitFor("STOP_PENDING", 3));
            return 1;
        }

    private:
        ServiceHost& host_;
        Journal& journal_;
    } slow(operationSteps, patient, journal);
    server.AddClient({.sends = Wire(SetSizeRequest())});
    patient.Run(factory, slow);

    std::vector<std::uint32_t> checkPoints;
    for (const auto& report : reporter.Reports()) {
        if (report.currentState == 3) checkPoints.push_back(report.checkPoint);
    }
    ASSERT_GE(checkPoints.size(), 3u);
    for (std::size_t i = 0; i < checkPoints.size(); ++i) EXPECT_EQ(checkPoints[i], i + 1);
    EXPECT_EQ(reporter.Reports().back().currentState, 1u);
    EXPECT_EQ(reporter.Reports().back().win32ExitCode, 0u);
}

TEST_F(ServiceLifecycle, FailedListenEndsTheServiceWithTheReasonForRecoveryToRestartIt) {
    server.failWait = true;
    host.Run(factory, operations);
    EXPECT_EQ(journal.Lines(),
              (std::vector<std::string>{"START_PENDING", "pipe created", "RUNNING", "pipe closed", "STOPPED"}));
    EXPECT_EQ(reporter.Reports().back().win32ExitCode, 6u);

    ServiceHost again{reporter, server};
    server.waitError = 0;
    again.Run(factory, operations);
    EXPECT_EQ(reporter.Reports().back().win32ExitCode, SERVICE_EXIT_NO_PIPE);
}

TEST_F(ServiceLifecycle, PipeThatCannotBeCreatedIsNeverReportedRunningAndStopsWithTheReason) {
    factory.fail = true;
    host.Run(factory, operations);
    EXPECT_EQ(journal.Lines(), (std::vector<std::string>{"START_PENDING", "pipe created", "STOPPED"}));
    EXPECT_EQ(reporter.Reports().back().win32ExitCode, 5u);

    // A reason the platform did not give is still no success.
    ServiceHost again{reporter, server};
    factory.failure = 0;
    again.Run(factory, operations);
    EXPECT_EQ(reporter.Reports().back().win32ExitCode, SERVICE_EXIT_NO_PIPE);
}

TEST_F(ServiceLifecycle, RefusedStartReportStopsBeforeThePipeExists) {
    reporter.refuseState = 2;
    host.Run(factory, operations);
    EXPECT_EQ(journal.Lines(), (std::vector<std::string>{"START_PENDING refused", "STOPPED"}));
}

TEST_F(ServiceLifecycle, RefusedRunningReportStopsWithoutServing) {
    reporter.refuseState = 4;
    server.AddClient({.sends = Wire(SetSizeRequest())});
    host.Run(factory, operations);
    EXPECT_EQ(journal.Lines(),
              (std::vector<std::string>{"START_PENDING", "pipe created", "RUNNING refused", "pipe closed", "STOPPED"}));
    EXPECT_TRUE(operationSteps.empty());
    EXPECT_NE(reporter.Reports().back().win32ExitCode, 0u);  // no stop control asked for this end
}

TEST_F(ServiceLifecycle, RefusedFinalReportIsRetriedABoundedNumberOfTimes) {
    reporter.refuseState = 1;
    server.failWait = true;
    host.Run(factory, operations);  // returns: no endless retry
    int attempts = 0;
    for (const auto& report : reporter.Reports()) attempts += report.currentState == 1;
    EXPECT_EQ(attempts, STOPPED_REPORT_ATTEMPTS);

    // A later stop tries again, as boundedly.
    host.StopService();
    attempts = 0;
    for (const auto& report : reporter.Reports()) attempts += report.currentState == 1;
    EXPECT_EQ(attempts, 2 * STOPPED_REPORT_ATTEMPTS);
}

TEST_F(ServiceLifecycle, RefusedInterrogateReportStopsTheService) {
    RunInBackground();
    ASSERT_TRUE(journal.WaitFor("listening"));
    reporter.refuseState = 4;
    host.HandleControl(CONTROL_INTERROGATE);
    Join();
    EXPECT_EQ(journal.Lines().back(), "STOPPED");
}

TEST_F(ServiceLifecycle, ControlsAfterStoppedDoNotRevive) {
    server.failWait = true;
    host.Run(factory, operations);
    host.HandleControl(CONTROL_STOP);
    EXPECT_EQ(reporter.Reports().back().currentState, 1u);
    EXPECT_EQ(host.CurrentState(), ServiceState::Stopped);
}

TEST_F(ServiceLifecycle, StopBeforeTheServiceRunsEndsItWithoutAPipe) {
    host.HandleControl(CONTROL_STOP);
    host.Run(factory, operations);
    const auto lines = journal.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "pipe created"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RUNNING"), 0);
    EXPECT_EQ(lines.back(), "STOPPED");
}

// --- serving ---

TEST_F(ServiceLifecycle, ClientsAreServedOneAfterAnotherUntilStopped) {
    std::vector<ExchangeEnd> ends;
    host.ObserveExchanges([&](const ExchangeReport& report) { ends.push_back(report.end); });
    server.AddClient({.sends = Wire(SetSizeRequest())});
    server.AddClient({.createdEvent = false});  // one that never sends costs only its own turn
    server.AddClient({.sends = Wire(SetSizeRequest())});
    RunInBackground();
    ASSERT_TRUE(journal.WaitFor("listening"));
    host.HandleControl(CONTROL_STOP);
    Join();
    EXPECT_EQ(ends, (std::vector<ExchangeEnd>{ExchangeEnd::Answered, ExchangeEnd::Incomplete, ExchangeEnd::Answered}));
    EXPECT_EQ(operationSteps.size(), 2u);
}

// --- a device cycle leaves nothing to put right ---

TEST_F(ServiceLifecycle, ALoneDeviceRestartIsPassedOnAndTheServiceAddsNothingOfItsOwn) {
    // The restart writes nothing to the hardware profile, so a stop right
    // after it owes the slot nothing.
    server.AddClient({.sends = Wire(SetStatusRequest(5, 2, 0))});
    RunInBackground();
    ASSERT_TRUE(journal.WaitFor("listening"));
    host.HandleControl(CONTROL_STOP);
    Join();
    EXPECT_EQ(operationSteps, (std::vector<std::string>{"SetStatus(5,2,0,0)"}));
}

// Operations of a flood and of one other session's request, numbered in one
// sequence with the moments their records became whole.
class SequencedOperations final : public RecordingOperations {
public:
    SequencedOperations(std::vector<std::string>& steps, std::atomic<int>& sequence)
        : RecordingOperations(steps), sequence_(sequence) {}
    int SetSize(std::uint32_t defLen, std::uint32_t, std::uint32_t) override {
        performedAt[defLen >> 20] = ++sequence_;  // one operation at a time: the queue orders them
        std::this_thread::sleep_for(2ms);
        return 1;
    }
    std::map<std::uint32_t, int> performedAt;

private:
    std::atomic<int>& sequence_;
};

TEST(ServiceInstances, SessionFloodingTheInstancesDelaysAnotherSessionByAtMostOneOperation) {
    Journal journal;
    RecordingReporter reporter{journal};
    ScriptedServer server{journal, PIPE_INSTANCE_CAP};
    ScriptedFactory factory{server, journal};
    std::vector<std::string> steps;
    std::atomic<int> sequence{0};
    SequencedOperations operations{steps, sequence};
    ServiceHost host{reporter, server, ExchangeLimits{.requestRead = 20ms, .replyWrite = 20ms, .replyTaken = 20ms}};

    // Session 1 connects again and again, some connections silent, most with
    // a request; session 2's one request comes in the middle of it.
    constexpr std::uint32_t OTHER = 200;  // MiB, as every tag: a window the settings could make
    std::map<std::uint32_t, int> wholeAt;
    std::mutex wholeMutex;
    const auto client = [&](std::uint32_t session, std::uint32_t tag, bool silent) {
        ServiceRequest request = SetSizeRequest();
        request.defLen = tag << 20;
        ClientScript script{.session = session};
        if (!silent) {
            script.sends = Wire(request);
            script.onAllSent = [&, tag] {
                std::lock_guard lock(wholeMutex);
                wholeAt[tag] = ++sequence;
            };
        }
        server.AddClient(std::move(script));
    };
    for (std::uint32_t tag = 1; tag <= 60; ++tag) {
        client(1, tag, tag % 5 == 0);
        if (tag == 30) client(2, OTHER, false);
    }
    std::vector<ExchangeEnd> ends;
    host.ObserveExchanges([&](const ExchangeReport& report) { ends.push_back(report.end); });
    std::thread run([&] { host.Run(factory, operations); });
    ASSERT_TRUE(journal.WaitFor("listening"));  // every client taken
    host.HandleControl(CONTROL_STOP);
    run.join();

    ASSERT_EQ(operations.performedAt.count(OTHER), 1u);
    int before = 0;  // operations begun after the other session's record was whole, before its own
    for (const auto& [tag, at] : operations.performedAt) {
        before += tag != OTHER && at > wholeAt[OTHER] && at < operations.performedAt[OTHER];
    }
    EXPECT_LE(before, 1);
    // Session 1 had its share of connections served; the rest were answered
    // busy, unperformed.
    EXPECT_GT(std::count(ends.begin(), ends.end(), ExchangeEnd::Busy), 0);
    EXPECT_EQ(ends.size(), 61u);
}

// ---- a stop holds: the marks in front of the library, on the simulated PC

class StopHolds : public ::testing::Test {
protected:
    static constexpr std::uint8_t kBus = 5;

    StopHolds() {
        pc.registry.CreateKey(RegistryRoot::LocalMachine, STOP_MARKS_KEY_PATH);
        slot.InsertCard();
        pc.devices.Reenumerate(slot.bridge());
    }
    // A new process of the service, as after a crash and its recovery.
    StopMarks& StartService() {
        marks.reset();
        marks = std::make_unique<StopMarks>(library, library, pc.registry);
        return *marks;
    }

    sim::SimPc pc;
    sim::SimSlot& slot = pc.AddSlot({.slotBus = kBus});
    PlatformOperations library{pc.platform()};
    std::unique_ptr<StopMarks> marks;
};

TEST_F(StopHolds, SmokeNoRequestButAnExplicitStartBringsAStoppedLinkBack) {
    StopMarks& service = StartService();
    ASSERT_TRUE(slot.CardDevice());
    ASSERT_EQ(service.SetStatus(kBus, 0, 0, 1), 1);
    // A tool's start-up sync, a device cycle, the low 8 bits of a wider field.
    for (const auto& [change, link] : {std::pair{0u, 1u}, {2u, 1u}, {1u, 1u}, {0u, 0x101u}}) {
        EXPECT_EQ(service.SetStatus(kBus, change, link, 0), SET_STATUS_HELD_STOPPED) << change << "," << link;
        EXPECT_TRUE(slot.LinkDisabled());
    }
    EXPECT_EQ(service.SetStatus(kBus, 0, 0, 0), 1);  // keeping it down is no start
    EXPECT_EQ(service.SetStatus(kBus, 0, 1, SET_STATUS_EXPLICIT_START), 1);
    EXPECT_FALSE(slot.LinkDisabled());
    EXPECT_FALSE(service.IsMarked(kBus));
    // A stop that fails marks nothing.
    EXPECT_EQ(service.SetStatus(kBus + 1, 0, 0, 1), 0);
    EXPECT_FALSE(service.IsMarked(kBus + 1));
    // One that a program's open handle refuses says who holds the card.
    pc.devices.Hold(*slot.CardDevice(), {.program = u"ttermpro.exe"});
    EXPECT_EQ(service.SetStatus(kBus, 0, 0, 1), 0);
    ASSERT_TRUE(service.LastVeto());
    EXPECT_EQ(service.LastVeto()->name, pc.devices.Device(*slot.CardDevice()).instancePath);
    EXPECT_FALSE(service.IsMarked(kBus));
}

TEST_F(StopHolds, AWakeThatClearedLinkDisableHasItSetAgainByTheNextRequest) {
    StopMarks& service = StartService();
    ASSERT_EQ(service.SetStatus(kBus, 0, 0, 1), 1);
    slot.ResetLink();
    ASSERT_FALSE(slot.LinkDisabled());
    EXPECT_EQ(service.SetStatus(kBus, 0, 1, 0), SET_STATUS_HELD_STOPPED);
    EXPECT_TRUE(slot.LinkDisabled());
}

TEST_F(StopHolds, TheMarkOutlivesTheServiceUntilTheCardLeaves) {
    ASSERT_EQ(StartService().SetStatus(kBus, 0, 0, 1), 1);
    EXPECT_EQ(StartService().SetStatus(kBus, 0, 1, 0), SET_STATUS_HELD_STOPPED);
    EXPECT_TRUE(slot.LinkDisabled());

    // Pulled while the service is down: the next run forgets the stop.
    marks.reset();
    slot.PullCard();
    StopMarks& next = StartService();
    EXPECT_FALSE(next.IsMarked(kBus));
    slot.InsertCard();
    EXPECT_EQ(next.SetStatus(kBus, 0, 1, 0), 1);
    EXPECT_FALSE(slot.LinkDisabled());

    // Pulled while it runs: any request sees the card gone.
    ASSERT_EQ(next.SetStatus(kBus, 0, 0, 1), 1);
    slot.PullCard();
    EXPECT_EQ(next.SetStatus(kBus, 0, 0, 0), 1);
    slot.InsertCard();
    EXPECT_EQ(next.SetStatus(kBus, 0, 1, 0), 1);
    EXPECT_FALSE(slot.LinkDisabled());
}

TEST_F(StopHolds, WithoutItsKeyTheServiceStillHoldsTheStopForItsOwnRun) {
    pc.registry.DeleteKey(RegistryRoot::LocalMachine, STOP_MARKS_KEY_PATH);
    StopMarks& service = StartService();
    ASSERT_EQ(service.SetStatus(kBus, 0, 0, 1), 1);
    EXPECT_EQ(service.SetStatus(kBus, 0, 1, 0), SET_STATUS_HELD_STOPPED);
}

}  // namespace
}  // namespace qn38::service
