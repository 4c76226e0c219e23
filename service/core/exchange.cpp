#include "exchange.h"

#include <optional>

#include "dispatcher.h"

namespace qn38::service {

OperationQueue::Turn::Turn(OperationQueue& queue) : queue_(queue) {
    std::unique_lock lock(queue_.mutex_);
    const std::uint64_t ticket = queue_.nextTicket_++;
    queue_.changed_.wait(lock, [&] { return queue_.serving_ == ticket; });
}

OperationQueue::Turn::~Turn() {
    {
        std::lock_guard lock(queue_.mutex_);
        ++queue_.serving_;
    }
    queue_.changed_.notify_all();
}

ExchangeReport ServeExchange(ServiceConnection& connection, ServiceOperations& operations, const ExchangeLimits& limits,
                             OperationQueue* queue) {
    ExchangeReport report;
    ServiceRequestBytes bytes{};
    const RecordTransfer request = TransferRecord(
        std::span(bytes), limits.requestRead,
        [&](std::span<std::uint8_t> rest, std::chrono::milliseconds left) { return connection.Read(rest, left); });
    report.requestBytes = request.bytes;
    report.reply = DecodeServiceRequest(bytes);

    if (request.Whole()) {
        std::optional<OperationQueue::Turn> turn;
        if (queue != nullptr) turn.emplace(*queue);
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
    const RecordTransfer reply =
        TransferRecord(std::span<const std::uint8_t, SERVICE_REQUEST_SIZE>(bytes), limits.replyWrite,
                       [&](std::span<const std::uint8_t> rest, std::chrono::milliseconds left) {
                           return connection.Write(rest, left);
                       });
    // Disconnecting discards what the client has not read yet, so the flush
    // waits for the client to take the reply, but not for ever.
    const bool taken = reply.Whole() && connection.Flush(limits.replyTaken) == IoStatus::Done;
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
