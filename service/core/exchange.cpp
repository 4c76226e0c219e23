#include "service/core/exchange.h"

#include <algorithm>
#include <optional>

#include "service/core/dispatcher.h"

namespace qn38::service {

std::uint64_t OperationQueue::Next() const {
    const auto lastTurn = [&](const Waiting& waiting) {
        const auto found = lastTurn_.find(waiting.session);
        return found == lastTurn_.end() ? 0 : found->second;
    };
    const auto next = std::min_element(waiting_.begin(), waiting_.end(), [&](const Waiting& a, const Waiting& b) {
        const std::uint64_t turnA = lastTurn(a);
        const std::uint64_t turnB = lastTurn(b);
        return turnA != turnB ? turnA < turnB : a.ticket < b.ticket;
    });
    return next->ticket;
}

OperationQueue::Turn::Turn(OperationQueue& queue, std::optional<std::uint32_t> session)
    : queue_(queue), session_(session) {
    std::unique_lock lock(queue_.mutex_);
    const std::uint64_t ticket = queue_.nextTicket_++;
    queue_.waiting_.push_back({ticket, session});
    queue_.changed_.wait(lock, [&] { return !queue_.busy_ && queue_.Next() == ticket; });
    std::erase_if(queue_.waiting_, [&](const Waiting& waiting) { return waiting.ticket == ticket; });
    queue_.busy_ = true;
    // Turns are given one at a time, so this one is the next to be counted.
    number_ = queue_.turnsGiven_ + 1;
}

OperationQueue::Turn::~Turn() {
    {
        std::lock_guard lock(queue_.mutex_);
        queue_.busy_ = false;
        queue_.lastTurn_[session_] = ++queue_.turnsGiven_;
    }
    queue_.changed_.notify_all();
}

namespace {

// One exchange: the request read, `perform` given it if it is whole (it
// returns whether it performed it), the event signalled, the reply written
// and taken, the connection ended.
template <typename Perform>
ExchangeReport Exchange(ServiceConnection& connection, const ExchangeLimits& limits, Perform perform) {
    ExchangeReport report;
    ServiceRequestBytes bytes{};
    const RecordTransfer request = TransferRecord(
        std::span(bytes), limits.requestRead,
        [&](std::span<std::uint8_t> rest, std::chrono::milliseconds left) { return connection.Read(rest, left); });
    report.requestBytes = request.bytes;
    report.reply = DecodeServiceRequest(bytes);
    if (!request.Whole() && request.status == IoStatus::Closed) {
        connection.Disconnect();
        report.end = ExchangeEnd::ClientGone;
        return report;
    }
    report.performed = perform(report.reply, request.Whole());

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
    const bool taken = reply.Whole() && connection.Flush(limits.replyTaken, limits.eventResignal) == IoStatus::Done;
    connection.Disconnect();
    if (clientEvent) connection.CloseClientEvent();
    report.end = taken ? ExchangeEnd::Answered : ExchangeEnd::ReplyNotTaken;
    return report;
}

}  // namespace

ExchangeReport ServeExchange(ServiceConnection& connection, ServiceOperations& operations, const ExchangeLimits& limits,
                             OperationQueue* queue, std::optional<std::uint32_t> session) {
    std::uint64_t turnNumber = 0;
    ExchangeReport report = Exchange(connection, limits, [&](ServiceRequest& request, bool whole) {
        if (!whole) {
            // Part of a record is not a request: its missing bytes would reach
            // the library as zeros (a torn SetSize would store an empty
            // window). It is answered as it arrived, like an unknown command.
            request.lastError = operations.LastError();
            return false;
        }
        std::optional<OperationQueue::Turn> turn;
        if (queue != nullptr) {
            turn.emplace(*queue, session);
            turnNumber = turn->Number();
        }
        Dispatch(request, operations);
        return true;
    });
    report.turn = turnNumber;
    if (report.end != ExchangeEnd::ClientGone && !report.performed) report.end = ExchangeEnd::Incomplete;
    return report;
}

ExchangeReport TurnAwayBusy(ServiceConnection& connection, const ExchangeLimits& limits) {
    ExchangeReport report = Exchange(connection, limits, [](ServiceRequest& request, bool) {
        request.result = 0;
        request.lastError = SERVICE_BUSY_ERROR;
        return false;
    });
    if (report.end != ExchangeEnd::ClientGone) report.end = ExchangeEnd::Busy;
    return report;
}

}  // namespace qn38::service
