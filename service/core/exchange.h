// The service side of one exchange: read one request, perform it, signal the
// client's event where there is one, answer, disconnect. Every wait is
// bounded, so a client that misbehaves costs only its own connection.
#pragma once

#include <chrono>
#include <cstddef>

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
};

enum class ExchangeEnd {
    Answered,       // the request was answered and the client took the reply
    ClientGone,     // the client left before its request was whole: nothing performed
    Incomplete,     // no whole request within the bound: answered, nothing performed
    ReplyNotTaken,  // answered, but the client left or stopped reading
};

struct ExchangeReport {
    ExchangeEnd end = ExchangeEnd::Answered;
    std::size_t requestBytes = 0;
    bool performed = false;  // Dispatch ran on a whole request
    ServiceRequest reply;
};

ExchangeReport ServeExchange(ServiceConnection& connection, ServiceOperations& operations,
                             const ExchangeLimits& limits = {});

}  // namespace qn38::service
