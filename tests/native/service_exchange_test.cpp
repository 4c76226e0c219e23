// One exchange on the service's side: what is performed, what goes back, and
// what a client that does not follow the protocol costs.
#include <gtest/gtest.h>

#include "service/core/exchange.h"
#include "tests/native/service_fakes.h"

namespace qn38::service {
namespace {

using namespace std::chrono_literals;
using testing::ClientScript;
using testing::RecordingOperations;
using testing::ScriptedConnection;
using testing::Wire;
using Steps = std::vector<std::string>;

class ServiceExchange : public ::testing::Test {
protected:
    ExchangeReport Serve(ClientScript script) {
        connection = std::make_unique<ScriptedConnection>(std::move(script), steps);
        return ServeExchange(*connection, operations, limits);
    }

    ServiceRequest Reply() const {
        EXPECT_EQ(connection->written.size(), SERVICE_REQUEST_SIZE);
        ServiceRequestBytes bytes{};
        std::copy_n(connection->written.begin(), std::min(connection->written.size(), bytes.size()), bytes.begin());
        return DecodeServiceRequest(bytes);
    }

    Steps steps;
    RecordingOperations operations{steps};
    ExchangeLimits limits{.requestRead = 200ms, .replyWrite = 200ms, .replyTaken = 300ms};
    std::unique_ptr<ScriptedConnection> connection;
};

ServiceRequest SetStatusRequest() { return testing::SetStatusRequest(5, 0, 1); }

// --- a whole request ---

TEST_F(ServiceExchange, SmokePerformsTheRequestBeforeSignallingAndAnswering) {
    const ExchangeReport report = Serve({.sends = Wire(SetStatusRequest())});
    EXPECT_EQ(steps, (Steps{"read", "SetStatus(5,0,1,0)", "open-event", "signal", "write", "flush", "disconnect",
                            "close-event"}));
    EXPECT_EQ(report.end, ExchangeEnd::Answered);
    EXPECT_TRUE(report.performed);
}

TEST_F(ServiceExchange, ReplyIsTheRequestAsItArrivedWithResultAndLastErrorFilledIn) {
    // Bytes no command uses are returned untouched, whatever they hold.
    ServiceRequest request = SetStatusRequest();
    request.defLen = 0xDEADBEEF;
    request.text[0] = 'x';
    request.text[199] = 'y';
    operations.result = 1;
    operations.lastError = 0x00000057;
    const std::vector<std::uint8_t> sent = Wire(request);
    Serve({.sends = sent});

    std::vector<std::uint8_t> expected = sent;
    expected[4] = 1;
    expected[8] = 0x57;
    EXPECT_EQ(connection->written, expected);
}

TEST_F(ServiceExchange, ResultTravelsAsTwosComplement) {
    operations.result = -1;
    ServiceRequest request;
    request.command = CMD_ADD_FILTER;
    Serve({.sends = Wire(request)});
    EXPECT_EQ(steps[1], "AddFilter()");
    const std::vector<std::uint8_t> result(connection->written.begin() + 4, connection->written.begin() + 8);
    EXPECT_EQ(result, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(ServiceResult(Reply()), -1);
}

ServiceRequest SetSizeRequest(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) {
    ServiceRequest request;
    request.command = CMD_SET_SIZE;
    request.defLen = defLen;
    request.startAdrs = startAdrs;
    request.endAdrs = endAdrs;
    return request;
}

TEST_F(ServiceExchange, SetSizePassesItsThreeValues) {
    Serve({.sends = Wire(SetSizeRequest(0x00200000, 0, 0xEFFFFFFF))});
    EXPECT_EQ(steps[1], "SetSize(2097152,0,4026531839)");
    // The widest window the dialog allows, up to the last byte of the address space.
    steps.clear();
    Serve({.sends = Wire(SetSizeRequest(0xFFF00000, 0x00100000, 0xFFFFFFFF))});
    EXPECT_EQ(steps[1], "SetSize(4293918720,1048576,4294967295)");
}

TEST_F(ServiceExchange, SetSizeOfAWindowTheSettingsCouldNotMakeIsAnsweredZeroWithoutTouchingTheKey) {
    operations.result = 1;
    for (const ServiceRequest& request :
         {SetSizeRequest(0, 0, 0xEFFFFFFF), SetSizeRequest(0x00200000, 0x00300000, 0x001FFFFF),
          SetSizeRequest(0x00300000, 0x00100000, 0x002FFFFF), SetSizeRequest(0x00280000, 0, 0xEFFFFFFF),
          SetSizeRequest(0x00200000, 0x00000400, 0xEFFFFFFF), SetSizeRequest(0x00200000, 0, 0xEFFFFFFE),
          SetSizeRequest(0xFFF00000, 0x00200000, 0xFFFFFFFF)}) {
        steps.clear();
        Serve({.sends = Wire(request)});
        EXPECT_EQ(steps[1], "open-event") << std::hex << request.defLen << " " << request.startAdrs;
        EXPECT_EQ(Reply().result, 0u);
    }
}

TEST_F(ServiceExchange, UnknownCommandsCallNothingAndComeBackAsSentButTheLastError) {
    for (std::uint32_t command : {0u, 7u, 0xFFFFFFFFu}) {
        steps.clear();
        ServiceRequest request;
        request.command = command;
        request.result = 0x55AA55AA;
        request.bus = 9;
        request.endAdrs = 3;
        request.text[5] = 'q';
        const std::vector<std::uint8_t> sent = Wire(request);
        const ExchangeReport report = Serve({.sends = sent});

        EXPECT_EQ(steps, (Steps{"read", "open-event", "signal", "write", "flush", "disconnect", "close-event"}));
        std::vector<std::uint8_t> expected = sent;
        expected[8] = 0x34;
        expected[9] = 0x12;
        EXPECT_EQ(connection->written, expected) << "command " << command;
        EXPECT_EQ(report.end, ExchangeEnd::Answered);
    }
}

TEST_F(ServiceExchange, LogTitleIsAtMostTheTwoHundredBytesOfTheField) {
    ServiceRequest full;
    full.command = CMD_WRITE_LOG;
    for (std::size_t i = 0; i < SERVICE_TEXT_CAPACITY; ++i) full.text[i] = static_cast<char>('a' + i % 26);
    Serve({.sends = Wire(full)});
    ASSERT_EQ(operations.titles.size(), 1u);
    EXPECT_EQ(operations.titles[0], std::string(full.text, SERVICE_TEXT_CAPACITY));

    ServiceRequest shortTitle;
    shortTitle.command = CMD_WRITE_LOG;
    std::memcpy(shortTitle.text, "AddFilter\0junk", 14);
    Serve({.sends = Wire(shortTitle)});
    EXPECT_EQ(operations.titles[1], "AddFilter");
}

TEST_F(ServiceExchange, RequestArrivingInPiecesIsPutTogether) {
    const ExchangeReport report = Serve({.sends = Wire(SetStatusRequest()), .chunk = 50});
    EXPECT_TRUE(report.performed);
    EXPECT_EQ(connection->reads, 5);
    EXPECT_EQ(ServiceResult(Reply()), 1);
}

TEST_F(ServiceExchange, BytesBeyondOneRecordAreNotTakenAsPartOfIt) {
    std::vector<std::uint8_t> sent = Wire(SetStatusRequest());
    sent.resize(300, 0xAB);
    const ExchangeReport report = Serve({.sends = sent});
    EXPECT_TRUE(report.performed);
    EXPECT_EQ(report.requestBytes, SERVICE_REQUEST_SIZE);
    EXPECT_EQ(Reply().bus, 5);
}

// --- clients that do not follow the protocol cost only their own connection ---

TEST_F(ServiceExchange, WholeRequestIsPerformedAndAnsweredWhetherOrNotItsClientHoldsTheEvent) {
    // A client that has gone, or never made the event, has the event missing
    // when the service looks: what it sent whole is still performed.
    const ExchangeReport report = Serve({.createdEvent = false, .sends = Wire(SetStatusRequest())});
    EXPECT_EQ(steps, (Steps{"read", "SetStatus(5,0,1,0)", "open-event-failed", "write", "flush", "disconnect"}));
    EXPECT_EQ(report.end, ExchangeEnd::Answered);
    EXPECT_EQ(connection->signals, 0);
    EXPECT_EQ(ServiceResult(Reply()), 1);
}

TEST_F(ServiceExchange, PartOfARecordFollowedByAHangUpIsNotPerformed) {
    // A SetSize torn after its command would otherwise store zeros as the memory window.
    ServiceRequest request;
    request.command = CMD_SET_SIZE;
    request.defLen = 0x00200000;
    std::vector<std::uint8_t> sent = Wire(request);
    sent.resize(16);
    const ExchangeReport report = Serve({.sends = sent, .closesAfterSending = true});
    EXPECT_EQ(steps, (Steps{"read", "disconnect"}));
    EXPECT_EQ(report.end, ExchangeEnd::ClientGone);
    EXPECT_EQ(report.requestBytes, 16u);
}

TEST_F(ServiceExchange, PartOfARecordFromAClientThatWaitsIsAnsweredUnperformedAfterTheBound) {
    ServiceRequest request;
    request.command = CMD_SET_SIZE;
    request.defLen = 0x00200000;
    std::vector<std::uint8_t> sent = Wire(request);
    sent.resize(100);
    const ExchangeReport report = Serve({.sends = sent});

    EXPECT_EQ(report.end, ExchangeEnd::Incomplete);
    EXPECT_FALSE(report.performed);
    EXPECT_EQ(steps, (Steps{"read", "open-event", "signal", "write", "flush", "disconnect", "close-event"}));
    const ServiceRequest reply = Reply();
    EXPECT_EQ(reply.command, CMD_SET_SIZE);
    EXPECT_EQ(reply.defLen, 0x00200000u);
    EXPECT_EQ(ServiceResult(reply), 0);
    EXPECT_EQ(reply.lastError, 0x1234u);
    for (auto bound : connection->readBounds) EXPECT_LE(bound, limits.requestRead);
}

TEST_F(ServiceExchange, ClientThatNeverSendsIsAnsweredAsCommandZeroAfterTheBound) {
    const ExchangeReport report = Serve({});
    EXPECT_EQ(report.end, ExchangeEnd::Incomplete);
    EXPECT_EQ(report.requestBytes, 0u);
    EXPECT_EQ(connection->readBounds, (std::vector<std::chrono::milliseconds>{limits.requestRead}));
    const ServiceRequest reply = Reply();
    EXPECT_EQ(reply.command, 0u);
    EXPECT_EQ(ServiceResult(reply), 0);
    EXPECT_EQ(connection->disconnects, 1);
}

TEST_F(ServiceExchange, ClientTricklingBytesIsHeldToOneBoundForTheWholeRecord) {
    limits.requestRead = 60ms;
    const auto started = std::chrono::steady_clock::now();
    const ExchangeReport report = Serve({.sends = Wire(SetStatusRequest()), .chunk = 1, .perRead = 5ms});
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(report.performed);
    EXPECT_LT(connection->reads, 40);
    EXPECT_LT(took, 5s);  // a bound per read would have let the record in after 228 reads
    EXPECT_EQ(connection->disconnects, 1);
}

TEST_F(ServiceExchange, ClientVanishingAfterAWholeRequestHasItPerformedAndIsDisconnected) {
    const ExchangeReport report = Serve({.sends = Wire(SetStatusRequest()), .goneBeforeReply = true});
    EXPECT_TRUE(report.performed);
    EXPECT_EQ(report.end, ExchangeEnd::ReplyNotTaken);
    EXPECT_EQ(steps,
              (Steps{"read", "SetStatus(5,0,1,0)", "open-event", "signal", "write", "disconnect", "close-event"}));
}

TEST_F(ServiceExchange, ClientThatStopsReadingHoldsTheServiceOnlyForTheFlushBound) {
    const ExchangeReport report = Serve({.sends = Wire(SetStatusRequest()), .readsReply = false});
    EXPECT_EQ(report.end, ExchangeEnd::ReplyNotTaken);
    EXPECT_EQ(connection->flushBound, limits.replyTaken);
    EXPECT_EQ(connection->disconnects, 1);
    EXPECT_FALSE(connection->eventOpen);
}

TEST(ServiceExchangeLimits, DefaultBoundsLeaveTheToolTimeButNeverWaitForEver) {
    const ExchangeLimits limits;
    for (auto bound : {limits.requestRead, limits.replyWrite, limits.replyTaken}) {
        EXPECT_GE(bound, 1s);
        EXPECT_LE(bound, 5s);
    }
}

}  // namespace
}  // namespace qn38::service
