// The service side of one exchange: read one request, perform it, signal the
// client's event where there is one, answer, disconnect. Every wait is
// bounded, so a client that misbehaves costs only its own connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "ServiceRequest.h"
#include "ports/connection.h"
#include "ports/operations.h"

namespace qn38::service {

struct ExchangeLimits {
    // The tool writes its request as soon as it has connected, so a request
    // not whole by then never will be.
    std::chrono::milliseconds requestRead{2000};
    std::chrono::milliseconds replyWrite{2000};
    // The tool reads its reply right after the event, or after its own
    // bounded wait on it.
    std::chrono::milliseconds replyTaken{2000};
    // A client that has its reply closes and connects again for its next
    // request at once, while its served connection is still ending on the
    // service's side: a connection over its session's limit is refused only
    // if no place of the session frees within this grace, so that such a
    // client is not turned away by its own previous connection.
    std::chrono::milliseconds sessionGrace{250};
};

enum class ExchangeEnd {
    Answered,       // the request was answered and the client took the reply
    ClientGone,     // the client left before its request was whole: nothing performed
    Incomplete,     // no whole request within the bound: answered, nothing performed
    ReplyNotTaken,  // answered, but the client left or stopped reading
    Refused,        // the client's session holds its share of the instances: disconnected unread
};

struct ExchangeReport {
    ExchangeEnd end = ExchangeEnd::Answered;
    std::size_t requestBytes = 0;
    bool performed = false;  // Dispatch ran on a whole request
    ServiceRequest reply;
};

// The service performs one operation at a time, in the order the records
// became whole, however many clients it reads from at once: the library's
// exports were never made to run beside each other, and a client that sends
// quickly is not overtaken by one that connected first and dawdles.
class OperationQueue {
public:
    class Turn {
    public:
        explicit Turn(OperationQueue& queue);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        OperationQueue& queue_;
    };

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t nextTicket_ = 0;
    std::uint64_t serving_ = 0;
};

// `queue` orders the operation among those of the other instances; without
// one the caller serves one client at a time.
ExchangeReport ServeExchange(ServiceConnection& connection, ServiceOperations& operations,
                             const ExchangeLimits& limits = {}, OperationQueue* queue = nullptr);

}  // namespace qn38::service
