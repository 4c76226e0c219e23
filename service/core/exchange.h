// The service side of one exchange: read one request, perform it, signal the
// client's event where there is one, answer, disconnect. Every wait is
// bounded, so a client that misbehaves costs only its own connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "service/ServiceRequest.h"
#include "service/core/ports/connection.h"
#include "service/core/ports/operations.h"

namespace qn38::service {

struct ExchangeLimits {
    // The tool writes its request as soon as it has connected, so a request
    // not whole by then never will be.
    std::chrono::milliseconds requestRead{2000};
    std::chrono::milliseconds replyWrite{2000};
    // The tool reads its reply right after the event, or after its own
    // bounded wait on it.
    std::chrono::milliseconds replyTaken{2000};
    // While the reply waits to be taken, the client's event is set again this
    // often (see ServiceConnection::Flush).
    std::chrono::milliseconds eventResignal{100};
};

enum class ExchangeEnd {
    Answered,       // the request was answered and the client took the reply
    ClientGone,     // the client left before its request was whole: nothing performed
    Incomplete,     // no whole request within the bound: answered, nothing performed
    ReplyNotTaken,  // answered, but the client left or stopped reading
    Busy,           // the client's session holds its share of the instances: answered busy, nothing performed
    Refused,        // the session holds its share and its busy replies too: disconnected unread
};

struct ExchangeReport {
    ExchangeEnd end = ExchangeEnd::Answered;
    std::size_t requestBytes = 0;
    bool performed = false;  // Dispatch ran on a whole request
    // Which operation of the service's run it was (1 the first), in the
    // order the operations were performed; 0 when it was not performed in
    // its turn. The report comes at the exchange's end, which for two
    // clients need not be in that order.
    std::uint64_t turn = 0;
    ServiceRequest reply;
};

// The service performs one operation at a time, however many clients it
// reads from at once: the library's exports were never made to run beside
// each other. The next turn goes to the logon session whose last operation is
// the longest ago, and within a session to the record that became whole
// first, so a session that floods the service delays another session's
// request by the one operation under way at most, and a client that sends
// quickly is not overtaken by one of its session that connected first and
// dawdles.
class OperationQueue {
public:
    class Turn {
    public:
        Turn(OperationQueue& queue, std::optional<std::uint32_t> session);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        // 1 for the queue's first turn, and so on.
        std::uint64_t Number() const { return number_; }

    private:
        OperationQueue& queue_;
        std::optional<std::uint32_t> session_;
        std::uint64_t number_ = 0;
    };

private:
    struct Waiting {
        std::uint64_t ticket;
        std::optional<std::uint32_t> session;
    };
    // The waiting record whose turn is next.
    std::uint64_t Next() const;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool busy_ = false;
    std::uint64_t nextTicket_ = 0;
    std::uint64_t turnsGiven_ = 0;
    std::vector<Waiting> waiting_;
    // The turn each session had last; one entry per logon session seen.
    std::map<std::optional<std::uint32_t>, std::uint64_t> lastTurn_;
};

// `queue` orders the operation among those of the other instances, by the
// client's `session`; without one the caller serves one client at a time.
ExchangeReport ServeExchange(ServiceConnection& connection, ServiceOperations& operations,
                             const ExchangeLimits& limits = {}, OperationQueue* queue = nullptr,
                             std::optional<std::uint32_t> session = std::nullopt);

// Reads the request as ServeExchange does and answers it with the busy reply
// (SERVICE_BUSY_ERROR) without performing it.
ExchangeReport TurnAwayBusy(ServiceConnection& connection, const ExchangeLimits& limits = {});

}  // namespace qn38::service
