#include "exchange.h"

#include <algorithm>

#include "dispatcher.h"

namespace qn38::service {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max(left, std::chrono::milliseconds{0});
}

struct Transfer {
    std::size_t bytes = 0;
    IoStatus status = IoStatus::Done;
};

// A byte-stream pipe may hand a record over in pieces; the bound covers the
// whole record, so a client trickling bytes cannot hold the service either.
template <typename Buffer, typename Step>
Transfer Whole(Buffer bytes, std::chrono::milliseconds bound, Step step) {
    const auto deadline = Clock::now() + bound;
    Transfer transfer;
    while (transfer.bytes < bytes.size()) {
        const auto left = Remaining(deadline);
        if (left.count() == 0) {
            transfer.status = IoStatus::TimedOut;
            break;
        }
        const IoResult io = step(bytes.subspan(transfer.bytes), left);
        transfer.bytes += std::min(io.bytes, bytes.size() - transfer.bytes);
        if (io.status != IoStatus::Done) {
            transfer.status = io.status;
            break;
        }
        if (io.bytes == 0) {  // no progress and no error: do not spin
            transfer.status = IoStatus::Failed;
            break;
        }
    }
    return transfer;
}

}  // namespace

ExchangeReport ServeExchange(ServiceConnection& connection, ServiceOperations& operations,
                             const ExchangeLimits& limits) {
    ExchangeReport report;
    ServiceRequestBytes bytes{};
    const Transfer request = Whole(
        std::span<std::uint8_t>(bytes), limits.requestRead,
        [&](std::span<std::uint8_t> rest, std::chrono::milliseconds left) { return connection.Read(rest, left); });
    report.requestBytes = request.bytes;
    report.reply = DecodeServiceRequest(bytes);

    if (request.bytes == bytes.size()) {
        Dispatch(report.reply, operations);
        report.performed = true;
    } else if (request.status == IoStatus::Closed) {
        connection.Disconnect();
        report.end = ExchangeEnd::ClientGone;
        return report;
    } else {
        // Part of a record is not a request: its missing bytes would reach the
        // library as zeros (a torn SetSize would store an empty window). It is
        // answered as it arrived, like an unknown command.
        report.reply.lastError = operations.LastError();
    }

    // The event tells a waiting tool that the operation is done; the reply
    // follows. It is looked for only now: a client may close its handle, the
    // event's last, the moment its request is written, and whether a whole
    // request is performed must not hang on how soon the service looks.
    const bool clientEvent = connection.OpenClientEvent();
    if (clientEvent) connection.SignalClientEvent();
    bytes = EncodeServiceRequest(report.reply);
    const Transfer reply = Whole(std::span<const std::uint8_t>(bytes), limits.replyWrite,
                                 [&](std::span<const std::uint8_t> rest, std::chrono::milliseconds left) {
                                     return connection.Write(rest, left);
                                 });
    // Disconnecting discards what the client has not read yet, so the flush
    // waits for the client to take the reply, but not for ever.
    const bool taken = reply.bytes == bytes.size() && connection.Flush(limits.replyTaken) == IoStatus::Done;
    connection.Disconnect();
    if (clientEvent) connection.CloseClientEvent();

    if (!report.performed) {
        report.end = ExchangeEnd::Incomplete;
    } else {
        report.end = taken ? ExchangeEnd::Answered : ExchangeEnd::ReplyNotTaken;
    }
    return report;
}

}  // namespace qn38::service
