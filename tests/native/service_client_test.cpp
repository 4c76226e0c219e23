// The tool's side of the exchange: what it sends, how it waits and retries,
// what it hands back; alone against a scripted service, and together with
// the service core on the simulated PC.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <cstring>
#include <future>
#include <thread>

#include "lib/include/QN38HotPlug.h"
#include "lib/core/constants.h"
#include "tool/core/service_client.h"
#include "service/core/service_host.h"
#include "sim/service/sim_service.h"

namespace qn38::tool {
namespace {

using namespace std::chrono_literals;
using Steps = std::vector<std::string>;

// A service as the client sees it, played by a script.
struct ScriptedService {
    bool eventAvailable = true;
    int busyAttempts = 0;  // attempts to open the pipe that fail first; -1: every one
    bool writeFails = false;
    int turnedAway = 0;   // connections the service closes before taking a byte
    int busyReplies = 0;  // requests answered busy, unperformed, before one is performed
    std::uint32_t lastError = 0x57;
    bool writeStalls = false;  // the service takes no byte until the bound
    bool signals = true;
    // The reply: the request with this result, in pieces of this size, cut short after `replyBytes`.
    std::int32_t result = 1;
    std::size_t replyChunk = SERVICE_REQUEST_SIZE;
    std::size_t replyBytes = SERVICE_REQUEST_SIZE;
    // Who serves the pipe, who the service control manager says the service
    // is, and whether this user may hold the service's process open.
    std::uint32_t serverProcess = 1000;
    std::uint32_t serviceProcess = 1000;
    bool holdAllowed = true;
    std::deque<std::uint32_t> managerAnswers;  // given before `serviceProcess`
    int managerQuestions = 0;
    int holdsOpen = 0;

    Steps steps;
    std::vector<ServiceRequestBytes> requests;
    std::vector<std::chrono::milliseconds> waits;
    std::vector<std::chrono::milliseconds> readBounds;
    std::vector<std::chrono::milliseconds> writeBounds;
    int openEvents = 0;
    std::atomic<int> exchangesAtOnce{0};
    int mostExchangesAtOnce = 0;
};

class FakeEvent final : public ServiceEvent {
public:
    explicit FakeEvent(ScriptedService& service) : service_(service) { ++service_.openEvents; }
    ~FakeEvent() override {
        --service_.openEvents;
        service_.steps.push_back("close-event");
    }
    void Reset() override { service_.steps.push_back("reset"); }
    bool Wait(std::chrono::milliseconds bound) override {
        service_.steps.push_back("wait");
        service_.waits.push_back(bound);
        return service_.signals;
    }

private:
    ScriptedService& service_;
};

class FakePipe final : public ServicePipe {
public:
    explicit FakePipe(ScriptedService& service) : service_(service) {
        const int now = ++service_.exchangesAtOnce;
        service_.mostExchangesAtOnce = std::max(service_.mostExchangesAtOnce, now);
    }
    ~FakePipe() override {
        --service_.exchangesAtOnce;
        service_.steps.push_back("close-pipe");
    }
    std::uint32_t ServerProcessId() override { return service_.serverProcess; }
    IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds bound) override {
        service_.steps.push_back("write " + std::to_string(bytes.size()));
        service_.writeBounds.push_back(bound);
        if (service_.writeFails) return {IoStatus::Failed, 0};
        if (service_.turnedAway > 0) {
            --service_.turnedAway;
            return {IoStatus::Closed, 0};
        }
        if (service_.writeStalls) return {IoStatus::TimedOut, 0};
        ServiceRequestBytes request{};
        std::copy_n(bytes.begin(), std::min(bytes.size(), request.size()), request.begin());
        service_.requests.push_back(request);
        ServiceRequest reply = DecodeServiceRequest(request);
        reply.result = static_cast<std::uint32_t>(service_.result);
        reply.lastError = service_.lastError;
        if (service_.busyReplies > 0) {
            --service_.busyReplies;
            service_.requests.pop_back();
            reply.result = 0;
            reply.lastError = SERVICE_BUSY_ERROR;
        }
        reply_ = EncodeServiceRequest(reply);
        return {IoStatus::Done, bytes.size()};
    }
    IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override {
        service_.steps.push_back("read");
        service_.readBounds.push_back(bound);
        const std::size_t left = std::min(service_.replyBytes, reply_.size()) - std::min(given_, service_.replyBytes);
        const std::size_t count = std::min({left, service_.replyChunk, into.size()});
        std::copy_n(reply_.begin() + static_cast<std::ptrdiff_t>(given_), count, into.begin());
        given_ += count;
        return {count > 0 ? IoStatus::Done : IoStatus::TimedOut, count};
    }

private:
    ScriptedService& service_;
    ServiceRequestBytes reply_{};
    std::size_t given_ = 0;
};

class FakeTransport final : public ServiceTransport {
public:
    explicit FakeTransport(ScriptedService& service) : service_(service) {}
    std::unique_ptr<ServiceEvent> CreateOrOpenEvent() override {
        service_.steps.push_back("create-event");
        if (!service_.eventAvailable) return nullptr;
        return std::make_unique<FakeEvent>(service_);
    }
    std::unique_ptr<ServicePipe> OpenPipe() override {
        service_.steps.push_back("open-pipe");
        if (service_.busyAttempts < 0) return nullptr;
        if (service_.busyAttempts > 0) {
            --service_.busyAttempts;
            return nullptr;
        }
        return std::make_unique<FakePipe>(service_);
    }
    std::uint32_t ServiceProcessId() override {
        ++service_.managerQuestions;
        if (service_.managerAnswers.empty()) return service_.serviceProcess;
        const std::uint32_t answer = service_.managerAnswers.front();
        service_.managerAnswers.pop_front();
        return answer;
    }
    std::unique_ptr<ProcessHold> HoldProcess(std::uint32_t processId) override {
        if (!service_.holdAllowed) return nullptr;
        return std::make_unique<Hold>(service_, processId);
    }

private:
    // The held process has ended once the service runs as another.
    class Hold final : public ProcessHold {
    public:
        Hold(ScriptedService& service, std::uint32_t processId) : service_(service), processId_(processId) {
            ++service_.holdsOpen;
        }
        ~Hold() override { --service_.holdsOpen; }
        bool Ended() override { return service_.serviceProcess != processId_; }

    private:
        ScriptedService& service_;
        std::uint32_t processId_;
    };

    ScriptedService& service_;
};

class RecordedPause final : public RetryPause {
public:
    explicit RecordedPause(Steps* steps = nullptr) : steps_(steps) {}
    void Pause(std::chrono::milliseconds duration) override {
        pauses.push_back(duration);
        if (steps_ != nullptr) steps_->push_back("pause " + std::to_string(duration.count()));
    }
    std::vector<std::chrono::milliseconds> pauses;

private:
    Steps* steps_;
};

class ServiceClientExchange : public ::testing::Test {
protected:
    ServiceRequest Sent(std::size_t index = 0) const { return DecodeServiceRequest(service.requests.at(index)); }

    ScriptedService service;
    FakeTransport transport{service};
    RecordedPause pause{&service.steps};
    sim::SimText text;
    ServiceClient client{transport, pause, text};
};

Steps Repeat(const Steps& block, int times) {
    Steps steps;
    for (int i = 0; i < times; ++i) steps.insert(steps.end(), block.begin(), block.end());
    return steps;
}

// --- the exchange ---

TEST_F(ServiceClientExchange, SmokeFollowsTheProtocolsOrderAndReturnsTheReplysResult) {
    service.result = 1;
    EXPECT_EQ(client.RequestSetStatus(5, 0, 1, 0), 1);
    EXPECT_EQ(service.steps,
              (Steps{"create-event", "reset", "open-pipe", "write 228", "wait", "read", "close-pipe", "close-event"}));
}

TEST_F(ServiceClientExchange, ReplyReplacesTheWholeRecord) {
    ServiceRequest request;
    request.command = CMD_SET_STATUS;
    request.bus = 7;
    service.result = -1;
    EXPECT_EQ(client.SendServiceRequest(request), -1);
    EXPECT_EQ(request.result, 0xFFFFFFFFu);
    EXPECT_EQ(request.lastError, 0x57u);
    EXPECT_EQ(request.bus, 7);
}

TEST_F(ServiceClientExchange, AbsentServiceCostsTenAttemptsEachFollowedByAPause) {
    service.busyAttempts = -1;
    EXPECT_EQ(client.RequestSetSize(1, 2, 3), 0);
    Steps expected{"create-event", "reset"};
    const Steps attempts = Repeat({"open-pipe", "pause 100"}, 10);
    expected.insert(expected.end(), attempts.begin(), attempts.end());
    expected.push_back("close-event");
    EXPECT_EQ(service.steps, expected);
    EXPECT_TRUE(service.requests.empty());
    EXPECT_EQ(service.openEvents, 0);
}

TEST_F(ServiceClientExchange, BusyServiceIsRetriedUntilItListens) {
    service.busyAttempts = 3;
    EXPECT_EQ(client.RequestAddFilter(), 1);
    EXPECT_EQ(pause.pauses, (std::vector<std::chrono::milliseconds>{100ms, 100ms, 100ms}));
    EXPECT_EQ(service.requests.size(), 1u);
}

TEST_F(ServiceClientExchange, EventThatCannotBeHadCostsOnlyTheWaitNotTheRequest) {
    // Somebody created the name first, denying this user or as another kind of object.
    service.eventAvailable = false;
    EXPECT_EQ(client.RequestAddFilter(), 1);
    EXPECT_EQ(service.steps, (Steps{"create-event", "open-pipe", "write 228", "read", "close-pipe"}));
    EXPECT_EQ(service.requests.size(), 1u);
}

TEST_F(ServiceClientExchange, FailedWriteEndsTheExchangeWithoutWaiting) {
    service.writeFails = true;
    EXPECT_EQ(client.RequestAddFilter(), 0);
    EXPECT_EQ(service.steps, (Steps{"create-event", "reset", "open-pipe", "write 228", "close-pipe", "close-event"}));
}

TEST_F(ServiceClientExchange, ConnectionTurnedAwayUnreadIsAnotherAttemptNotALostRequest) {
    service.turnedAway = 2;
    EXPECT_EQ(client.RequestAddFilter(), 1);
    EXPECT_EQ(pause.pauses.size(), 2u);
    EXPECT_EQ(service.requests.size(), 1u);
}

// --- the tool never hangs and never takes a reply early ---

TEST_F(ServiceClientExchange, BusyReplyIsAnotherAttemptWithinTheAttemptsBound) {
    service.busyReplies = 2;
    EXPECT_EQ(client.RequestSetSize(0x00200000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(service.requests.size(), 1u);  // performed once
    EXPECT_EQ(pause.pauses, (std::vector<std::chrono::milliseconds>(2, 100ms)));
    EXPECT_EQ(client.UnansweredExchanges(), 0u);

    // Busy for good: the attempts' bound, then the record as built.
    service.busyReplies = 100;
    pause.pauses.clear();
    EXPECT_EQ(client.RequestSetSize(0x00200000, 0, 0xEFFFFFFF), 0);
    EXPECT_EQ(pause.pauses.size(), 10u);
    EXPECT_EQ(client.UnansweredExchanges(), 1u);

    // A performed request that failed with ERROR_BUSY as its last error is a
    // reply, not a refusal: it is never sent a second time.
    service.busyReplies = 0;
    service.result = 0;
    service.lastError = 170;
    pause.pauses.clear();
    EXPECT_EQ(client.RequestSetStatus(5, 0, 0, 1), 0);
    EXPECT_EQ(service.requests.size(), 2u);
    EXPECT_TRUE(pause.pauses.empty());
}

TEST_F(ServiceClientExchange, StalledServiceCostsTheRequestItsBoundsAndCountsAsUnreachable) {
    // Connected, then suspended before it reads: the write waits only for the
    // service's own bound on a request, and nothing is waited for after it.
    service.writeStalls = true;
    EXPECT_EQ(client.RequestSetStatus(5, 0, 0, 1), 0);
    EXPECT_EQ(service.writeBounds, (std::vector<std::chrono::milliseconds>{SERVICE_REQUEST_WAIT}));
    EXPECT_EQ(service.steps, (Steps{"create-event", "reset", "open-pipe", "write 228", "close-pipe", "close-event"}));
    // Taking the request, then stalling: the reply's read has its bound (below).
    service.writeStalls = false;
    service.replyBytes = 0;
    EXPECT_EQ(client.RequestSetStatus(5, 0, 0, 1), 0);
    ASSERT_EQ(service.readBounds.size(), 1u);
    EXPECT_LE(service.readBounds[0], SERVICE_REPLY_WAIT);
}

TEST_F(ServiceClientExchange, SignalTakenByAnotherClientCostsOnlyTheBoundedWait) {
    service.signals = false;
    EXPECT_EQ(client.RequestSetStatus(5, 0, 0, 1), 1);  // the reply still comes, and is taken
    ASSERT_EQ(service.waits.size(), 1u);
    EXPECT_EQ(service.waits[0], SERVICE_EVENT_WAIT);
    // Well inside the second of attempts another client has while this one holds the service.
    EXPECT_LE(SERVICE_EVENT_WAIT * 4, SERVICE_CONNECT_PAUSE * SERVICE_CONNECT_ATTEMPTS);
}

TEST_F(ServiceClientExchange, ServiceThatDiesLeavesTheRecordAsBuilt) {
    service.signals = false;
    service.replyBytes = 0;
    ServiceRequest request;
    request.command = CMD_SET_SIZE;
    request.defLen = 9;
    EXPECT_EQ(client.SendServiceRequest(request), 0);
    EXPECT_EQ(request.defLen, 9u);
    EXPECT_EQ(request.lastError, 0u);
}

TEST_F(ServiceClientExchange, ReplyIsAwaitedOnlyForTheBoundOfARealStop) {
    service.signals = false;
    service.replyBytes = 0;  // the service accepted and never answers
    EXPECT_EQ(client.RequestSetStatus(5, 0, 0, 1), 0);
    ASSERT_EQ(service.readBounds.size(), 1u);
    EXPECT_LE(service.readBounds[0], SERVICE_REPLY_WAIT);
    EXPECT_GT(service.readBounds[0], SERVICE_REPLY_WAIT - 1s);
}

TEST_F(ServiceClientExchange, PartOfAReplyIsNotTakenForAReply) {
    service.replyBytes = 100;  // result and last error are in these bytes
    ServiceRequest request;
    request.command = CMD_ADD_FILTER;
    EXPECT_EQ(client.SendServiceRequest(request), 0);
    EXPECT_EQ(request.result, 0u);
    EXPECT_EQ(request.lastError, 0u);
}

TEST_F(ServiceClientExchange, ReplyArrivingInPiecesIsPutTogether) {
    service.replyChunk = 100;
    service.result = 3;
    EXPECT_EQ(client.RequestAddFilter(), 3);
    EXPECT_EQ(std::count(service.steps.begin(), service.steps.end(), "read"), 3);
}

TEST_F(ServiceClientExchange, ToolThreadsExchangeOneAtATime) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) client.RequestSetStatus(5, 0, 1, 0);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(service.mostExchangesAtOnce, 1);
    EXPECT_EQ(service.requests.size(), 200u);
}

// --- only the service's own process is sent a request ---

TEST_F(ServiceClientExchange, SteadyRequestsAskTheServiceControlManagerOnlyOnce) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(client.RequestSetStatus(5, 0, 1, 0), 1);
    EXPECT_EQ(service.managerQuestions, 2);  // the service named, then confirmed while held
    EXPECT_EQ(service.holdsOpen, 1);
}

TEST_F(ServiceClientExchange, ServiceRestartedUnderANewProcessIsConfirmedAgainAndHeld) {
    EXPECT_EQ(client.RequestAddFilter(), 1);
    service.serverProcess = service.serviceProcess = 2000;
    EXPECT_EQ(client.RequestAddFilter(), 1);
    EXPECT_EQ(client.RequestAddFilter(), 1);
    EXPECT_EQ(service.managerQuestions, 4);
    EXPECT_EQ(service.holdsOpen, 1);  // the dead one's is let go
    // Restarted again, with another process answering on the name first.
    service.serviceProcess = 3000;
    service.serverProcess = 3004;
    EXPECT_EQ(client.RequestAddFilter(), 0);
    EXPECT_EQ(service.requests.size(), 3u);
}

TEST_F(ServiceClientExchange, ProcessThatGotADeadServicesIdIsSentNothing) {
    // The service was process 1000 and died between the service control
    // manager's answer and the connection; another process got its id and
    // serves the name.
    service.managerAnswers = {1000, 0};
    service.serviceProcess = 0;
    EXPECT_EQ(client.RequestSetStatus(5, 0, 0, 1), 0);
    // It runs as another process now, and the one with the old id still answers.
    service.serviceProcess = 2000;
    EXPECT_EQ(client.RequestSetStatus(5, 0, 0, 1), 0);
    EXPECT_TRUE(service.requests.empty());
    EXPECT_EQ(service.holdsOpen, 0);
    EXPECT_EQ(pause.pauses.size(), 20u);
}

TEST_F(ServiceClientExchange, StoppedServiceIsNotEvenConnectedTo) {
    service.serviceProcess = 0;
    EXPECT_EQ(client.RequestAddFilter(), 0);
    EXPECT_EQ(std::count(service.steps.begin(), service.steps.end(), "open-pipe"), 0);
}

TEST_F(ServiceClientExchange, UserWhoMayNotOpenTheServicesProcessIsCheckedOnEveryConnection) {
    service.holdAllowed = false;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client.RequestAddFilter(), 1);
    EXPECT_EQ(service.managerQuestions, 6);
    service.serverProcess = 1004;
    EXPECT_EQ(client.RequestAddFilter(), 0);
    EXPECT_EQ(service.requests.size(), 3u);
}

// --- what each builder puts in the record ---

TEST_F(ServiceClientExchange, BuildersZeroEveryByteTheirCommandDoesNotUse) {
    client.RequestAddFilter();
    client.RequestSetStatus(5, 0, 1, 0);
    client.RequestSetSize(0x00200000, 0, 0xEFFFFFFF);
    ASSERT_EQ(service.requests.size(), 3u);

    ServiceRequestBytes addFilter{};
    addFilter[0] = 1;
    EXPECT_EQ(service.requests[0], addFilter);

    ServiceRequestBytes setStatus{};
    setStatus[0] = 2;
    setStatus[12] = 5;
    setStatus[14] = 1;
    EXPECT_EQ(service.requests[1], setStatus);

    ServiceRequestBytes setSize{};
    setSize[0] = 3;
    setSize[18] = 0x20;
    setSize[24] = setSize[25] = setSize[26] = 0xFF;
    setSize[27] = 0xEF;
    EXPECT_EQ(service.requests[2], setSize);
}

TEST_F(ServiceClientExchange, LogTextIsAnsiAndZeroPadded) {
    client.RequestWriteLog(u"LinkDisable(Bus0x05)");
    const ServiceRequest sent = Sent();
    EXPECT_EQ(sent.command, CMD_WRITE_LOG);
    EXPECT_EQ(std::string(sent.text), "LinkDisable(Bus0x05)");
    for (std::size_t i = 20; i < SERVICE_TEXT_CAPACITY; ++i) ASSERT_EQ(sent.text[i], 0) << i;
    ServiceRequestBytes header{};
    std::copy_n(service.requests[0].begin(), 28, header.begin());
    header[0] = 0;
    EXPECT_EQ(header, ServiceRequestBytes{});
}

TEST_F(ServiceClientExchange, LogTextOfTwoHundredBytesOrMoreIsCutWithoutTerminator) {
    std::u16string longTitle;
    for (int i = 0; i < 250; ++i) longTitle.push_back(static_cast<char16_t>(u'A' + i % 26));
    client.RequestWriteLog(longTitle);
    std::u16string exact(longTitle, 0, 200);
    client.RequestWriteLog(exact);
    for (std::size_t index : {0u, 1u}) {
        const ServiceRequest sent = Sent(index);
        for (std::size_t i = 0; i < SERVICE_TEXT_CAPACITY; ++i) {
            ASSERT_EQ(sent.text[i], static_cast<char>('A' + i % 26)) << index << " byte " << i;
        }
    }
}

TEST_F(ServiceClientExchange, LogTextEndsAtItsFirstTerminatorAndUsesTheCodePagesReplacement) {
    client.RequestWriteLog(std::u16string(u"Stop\0hidden", 11));
    client.RequestWriteLog(u"Caf\u00e9 \u30ab\u30fc\u30c9");  // the simulated code page is Latin-1
    EXPECT_EQ(std::string(Sent(0).text), "Stop");
    EXPECT_EQ(std::string(Sent(0).text, 11), std::string("Stop\0\0\0\0\0\0\0", 11));
    EXPECT_EQ(std::string(Sent(1).text), "Caf\xe9 ???");
}

// --- with the service core on the simulated PC ---

class ServiceOnSimulatedPc : public ::testing::Test {
protected:
    ServiceOnSimulatedPc() {
        pc.registry.CreateKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH));
        service.Start();
    }

    std::optional<std::uint32_t> Stored(std::u16string_view name) {
        std::lock_guard lock(machine);
        return pc.registry.Dword(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), name);
    }

    sim::SimPc pc;
    std::mutex machine;
    sim::SimService service{pc, machine};
    RecordedPause pause;
    ServiceClient client{service.transport(), pause, pc.text};
};

// A pause that really waits, as Sleep does: other clients get their turn.
class SleepingPause final : public RetryPause {
public:
    void Pause(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

TEST_F(ServiceOnSimulatedPc, SmokeSetSizeStoresTheWindowThroughTheService) {
    EXPECT_EQ(client.RequestSetSize(0x00200000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(Stored(u"DefLen"), 0x00200000u);
    EXPECT_EQ(Stored(u"StartAdrs"), 0u);
    EXPECT_EQ(Stored(u"EndAdrs"), 0xEFFFFFFFu);
    ASSERT_TRUE(service.WaitForExchanges(1, 30s));
    EXPECT_EQ(service.Exchanges()[0].end, service::ExchangeEnd::Answered);
}

TEST_F(ServiceOnSimulatedPc, SetSizeWithoutTheDriverKeyFails) {
    {
        std::lock_guard lock(machine);
        pc.registry.DeleteKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH));
    }
    EXPECT_EQ(client.RequestSetSize(0x00200000, 0, 0xEFFFFFFF), 0);
}

TEST_F(ServiceOnSimulatedPc, UnknownCommandComesBackByteForByte) {
    ServiceRequest request;
    request.command = 7;
    request.result = 0x01020304;
    request.lastError = 0xFFFFFFFF;
    request.bus = 1;
    std::memcpy(request.text, "kept", 4);
    const ServiceRequestBytes sent = EncodeServiceRequest(request);
    EXPECT_EQ(client.SendServiceRequest(request), 0x01020304);
    ServiceRequestBytes expected = sent;
    std::fill(expected.begin() + 8, expected.begin() + 12, 0);  // the simulated core sets no error code
    EXPECT_EQ(EncodeServiceRequest(request), expected);
}

TEST_F(ServiceOnSimulatedPc, LogRequestWritesTheTitleEntryBesideTheServicesExecutable) {
    client.RequestWriteLog(u"AddFilter");
    std::lock_guard lock(machine);
    const auto* log = pc.files.Find(u"C:\\Program Files\\QN38\\QN38.LOG");
    ASSERT_NE(log, nullptr);
    const std::string text(log->begin(), log->end());
    EXPECT_NE(text.find("\r\n\r\nAddFilter\r\n"), std::string::npos);
}

// Connections of logon `session` that never send, held until released.
std::vector<std::unique_ptr<ServicePipe>> Hold(sim::SimService& service, std::uint32_t session, int count) {
    std::vector<std::unique_ptr<ServicePipe>> held;
    while (static_cast<int>(held.size()) < count && service.WaitUntilListening(30s)) {
        if (auto pipe = service.transport(session).OpenPipe()) held.push_back(std::move(pipe));
    }
    return held;
}

TEST(ServiceInstancesOnSimulatedPc, ConnectionAttemptsFailWhileEveryInstanceIsTakenAndNobodyQueues) {
    sim::SimPc pc;
    pc.registry.CreateKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH));
    std::mutex machine;
    // Holders that outlast the test, however slowly it runs.
    sim::SimService service{pc, machine, {.requestRead = 60s, .replyWrite = 60s, .replyTaken = 60s}};
    service.Start();
    // Three sessions take every instance: each no more than its share and
    // its busy replies.
    auto first = Hold(service, 10, (service::SESSION_CONNECTIONS_SHARE + service::SESSION_BUSY_REPLIES));
    auto second = Hold(service, 11, (service::SESSION_CONNECTIONS_SHARE + service::SESSION_BUSY_REPLIES));
    auto third = Hold(service, 12,
                      static_cast<int>(service::PIPE_INSTANCE_CAP) -
                          2 * (service::SESSION_CONNECTIONS_SHARE + service::SESSION_BUSY_REPLIES));
    ASSERT_EQ(first.size() + second.size() + third.size(), service::PIPE_INSTANCE_CAP);
    RecordedPause pause;
    ServiceClient client{service.transport(13), pause, pc.text};
    EXPECT_EQ(client.RequestSetSize(0x00300000, 0, 0xEFFFFFFF), 0);
    EXPECT_EQ(pause.pauses.size(), 10u);
    {
        std::lock_guard lock(machine);
        EXPECT_EQ(pc.registry.Dword(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"DefLen"), std::nullopt);
    }
    third.clear();  // they leave; an instance listens again, however long a loaded machine takes
    sim::SimServicePause untilListening{service};
    ServiceClient next{service.transport(13), untilListening, pc.text};
    EXPECT_EQ(next.RequestSetSize(0x00300000, 0, 0xEFFFFFFF), 1);
    first.clear();
    second.clear();
}

TEST_F(ServiceOnSimulatedPc, ServiceStartedAgainIsServedUnderItsNewProcess) {
    EXPECT_EQ(client.RequestSetSize(0x00100000, 0, 0xEFFFFFFF), 1);
    service.Stop();
    service.Start();
    EXPECT_EQ(client.RequestSetSize(0x00700000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(Stored(u"DefLen"), 0x00700000u);
}

TEST_F(ServiceOnSimulatedPc, StoppedServiceCostsTenAttemptsAndLeavesNoEventOpen) {
    service.Stop();
    EXPECT_EQ(client.RequestAddFilter(), 0);
    EXPECT_EQ(pause.pauses.size(), 10u);
    auto event = service.transport().CreateOrOpenEvent();  // the only handle now: created anew, unsignalled
    EXPECT_FALSE(event->Wait(0ms));
    const auto reports = service.StatusReports();
    EXPECT_EQ(reports.back().currentState, 1u);
}

TEST_F(ServiceOnSimulatedPc, HungServiceEndsLikeAnUnreachableOneUntilItResumes) {
    service.Hang();
    EXPECT_EQ(client.RequestSetSize(0x00500000, 0, 0xEFFFFFFF), 0);
    EXPECT_EQ(service.AbandonedReads(), 1u);
    // Still stuck in that request, it takes the next on another instance,
    // where it waits its turn, unanswered.
    EXPECT_EQ(client.RequestAddFilter(), 0);
    EXPECT_EQ(service.AbandonedReads(), 2u);
    EXPECT_TRUE(pause.pauses.empty());
    const std::size_t done = service.Exchanges().size();
    service.Resume();
    ASSERT_TRUE(service.WaitForExchanges(done + 2, 30s));
    EXPECT_EQ(Stored(u"DefLen"), 0x00500000u);  // the request it held, performed late
    sim::SimServicePause untilListening{service};
    ServiceClient next{service.transport(), untilListening, pc.text};
    EXPECT_EQ(next.RequestSetSize(0x00600000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(Stored(u"DefLen"), 0x00600000u);
}

TEST_F(ServiceOnSimulatedPc, ReplyIsNeverTakenBeforeTheRequestWasPerformed) {
    // The client's wait on the event ends at once here, as when another
    // client's reset takes the signal: it must still wait for the reply.
    ServiceClient hasty{service.transport(), pause, pc.text, 0ms};
    std::promise<void> held;
    std::thread holder([&] {
        std::lock_guard hold(machine);  // the operation cannot finish while the machine is held
        held.set_value();
        std::this_thread::sleep_for(100ms);
    });
    held.get_future().wait();
    EXPECT_EQ(hasty.RequestSetSize(0x00400000, 0, 0xEFFFFFFF), 1);
    holder.join();
    EXPECT_EQ(Stored(u"DefLen"), 0x00400000u);
}

TEST_F(ServiceOnSimulatedPc, SessionFloodingTheServiceLeavesAnotherSessionsRequestsServed) {
    // Session 1 keeps connections reconnecting without sending, as many as it
    // can get, and sends requests without pause besides.
    std::atomic<bool> flooding{true};
    std::vector<std::thread> flood;
    for (int i = 0; i < 8; ++i) {
        flood.emplace_back([&] {
            while (flooding) {
                auto held = service.transport(1).OpenPipe();
                // Until the service ends it: about its bounds for a request.
                std::uint8_t byte = 0;
                while (held && flooding && held->Read(std::span(&byte, 1), 10ms).status == IoStatus::TimedOut) {
                }
                if (!held) std::this_thread::sleep_for(1ms);
            }
        });
    }
    SleepingPause sleeping;
    for (int i = 0; i < 2; ++i) {
        flood.emplace_back([&] {
            ServiceClient flooder{service.transport(1), sleeping, pc.text};
            while (flooding) flooder.RequestSetSize(0x00100000, 0, 0xEFFFFFFF);
        });
    }
    ServiceClient other{service.transport(2), sleeping, pc.text};
    int served = 0;
    for (int i = 0; i < 5; ++i) served += other.RequestWriteLog(u"other session") == 1;
    flooding = false;
    for (auto& thread : flood) thread.join();
    EXPECT_EQ(served, 5);
}

TEST_F(ServiceOnSimulatedPc, BusyRepliesAreRetriedUntilTheSessionHasAPlace) {
    auto held = Hold(service, 1, service::SESSION_CONNECTIONS_SHARE);
    ASSERT_EQ(held.size(), std::size_t{service::SESSION_CONNECTIONS_SHARE});
    // A byte each, read only once the service has given each its place.
    const std::uint8_t byte = 0;
    for (auto& pipe : held) pipe->Write(std::span(&byte, 1), 1s);
    ASSERT_TRUE(service.WaitUntilAllRead(30s));
    // Once turned away, the holders leave, and the client tries again only
    // after the service has seen them go.
    class Releasing final : public RetryPause {
    public:
        Releasing(sim::SimService& service, std::vector<std::unique_ptr<ServicePipe>>& held)
            : service_(service), held_(held) {}
        void Pause(std::chrono::milliseconds) override {
            ++pauses;
            if (held_.empty()) return;
            held_.clear();
            EXPECT_TRUE(service_.WaitForExchanges(1 + service::SESSION_CONNECTIONS_SHARE, 30s));
        }
        int pauses = 0;

    private:
        sim::SimService& service_;
        std::vector<std::unique_ptr<ServicePipe>>& held_;
    } releasing(service, held);
    ServiceClient client{service.transport(1), releasing, pc.text};
    EXPECT_EQ(client.RequestSetSize(0x00800000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(Stored(u"DefLen"), 0x00800000u);
    EXPECT_EQ(releasing.pauses, 1);
    ASSERT_TRUE(service.WaitForExchanges(2 + service::SESSION_CONNECTIONS_SHARE, 30s));
    const auto exchanges = service.Exchanges();
    EXPECT_EQ(std::count_if(exchanges.begin(), exchanges.end(),
                            [](const auto& report) { return report.end == service::ExchangeEnd::Busy; }),
              1);
    EXPECT_EQ(std::count_if(exchanges.begin(), exchanges.end(), [](const auto& report) { return report.performed; }),
              1);
}

// A client as the tool always was: it retries only its open, 10 times 100 ms
// apart, waits on the shared event without a limit (bounded here only to see
// a hang), and knows nothing of busy replies.
std::int32_t SendAsTheFirstTool(ServiceTransport& transport, ServiceRequest request, bool& hung) {
    auto event = transport.CreateOrOpenEvent();
    event->Reset();
    std::unique_ptr<ServicePipe> pipe;
    for (int attempt = 0; attempt < 10 && !pipe; ++attempt) {
        pipe = transport.OpenPipe();
        if (!pipe) std::this_thread::sleep_for(100ms);
    }
    if (!pipe) return 0;
    const ServiceRequestBytes sent = EncodeServiceRequest(request);
    pipe->Write(sent, 30s);
    if (!event->Wait(30s)) hung = true;
    ServiceRequestBytes reply{};
    std::size_t read = 0;
    while (read < reply.size()) {
        const IoResult io = pipe->Read(std::span(reply).subspan(read), 30s);
        if (io.status != IoStatus::Done) break;
        read += io.bytes;
    }
    return read == reply.size() ? ServiceResult(DecodeServiceRequest(reply)) : 0;
}

TEST_F(ServiceOnSimulatedPc, TwoClientsOfOneSessionThatKnowNothingOfBusyAreBothServedInFull) {
    std::atomic<int> served{0};
    std::atomic<bool> hung{false};
    std::vector<std::thread> clients;
    for (std::uint32_t tag : {0x00100000u, 0x00200000u}) {
        clients.emplace_back([&, tag] {
            bool waitedForEver = false;
            for (int i = 0; i < 25; ++i) {
                ServiceRequest request;
                request.command = CMD_SET_SIZE;
                request.defLen = tag;
                request.endAdrs = 0xEFFFFFFF;
                served += SendAsTheFirstTool(service.transport(1), request, waitedForEver) == 1;
            }
            if (waitedForEver) hung = true;
        });
    }
    for (auto& thread : clients) thread.join();
    EXPECT_EQ(served, 50);
    EXPECT_FALSE(hung);
    // Listed in the order the operations were performed, whichever
    // exchange ended first.
    ASSERT_TRUE(service.WaitForExchanges(50, 30s));
    std::uint64_t turn = 0;
    for (const auto& exchange : service.Exchanges()) {
        if (exchange.performed) {
            EXPECT_EQ(exchange.turn, ++turn);
        }
    }
    EXPECT_EQ(turn, 50u);
}

TEST_F(ServiceOnSimulatedPc, AConnectionPastTheShareIsServedOnceOneOfItsSessionsConnectionsEnds) {
    // The share is full of connections still ending on the service's side;
    // one of them ends while the next request waits.
    auto held = Hold(service, 1, service::SESSION_CONNECTIONS_SHARE);
    ASSERT_EQ(held.size(), static_cast<std::size_t>(service::SESSION_CONNECTIONS_SHARE));
    std::thread ending([&] {
        std::this_thread::sleep_for(service::SESSION_SHARE_WAIT / 5);
        held.pop_back();
    });
    ServiceRequest request;
    request.command = CMD_SET_SIZE;
    request.defLen = 0x00300000;
    request.endAdrs = 0xEFFFFFFF;
    bool hung = false;
    EXPECT_EQ(SendAsTheFirstTool(service.transport(1), request, hung), 1);
    ending.join();
    EXPECT_EQ(Stored(u"DefLen"), 0x00300000u);
}

TEST_F(ServiceOnSimulatedPc, ConcurrentClientsAreAllServed) {
    // Two tools (two clients, each with its own lock) and two threads of one
    // tool, each sending as a tool does: a request now and then, not a flood
    // (a client that never pauses leaves the others only the gaps between its
    // exchanges to connect in).
    SleepingPause sleeping;
    ServiceClient first{service.transport(), sleeping, pc.text};
    ServiceClient second{service.transport(), sleeping, pc.text};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (ServiceClient* user : {&first, &second, &second}) {
        threads.emplace_back([&, user] {
            for (int i = 0; i < 10; ++i) {
                if (user->RequestSetSize(0x00100000, 0, 0xEFFFFFFF) != 1) ++failures;
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(service.WaitForExchanges(30, 30s));
}

}  // namespace
}  // namespace qn38::tool
