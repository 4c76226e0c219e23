// Moving one record across the pipe, for both ends: a byte-stream pipe may
// hand a record over in pieces, so a record is whole only when all 228 bytes
// have moved, and one bound covers all the pieces, so a peer trickling bytes
// cannot hold the other end either.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <span>

#include "service/ServiceRequest.h"

namespace qn38 {

enum class IoStatus {
    Done,      // the bytes moved
    Closed,    // the other end has gone (broken pipe)
    TimedOut,  // the bound passed first; the operation was cancelled
    Failed,    // any other error
};

struct IoResult {
    IoStatus status = IoStatus::Failed;
    std::size_t bytes = 0;  // moved before the call ended, whatever the status
};

struct RecordTransfer {
    std::size_t bytes = 0;  // of the record moved so far
    IoStatus status = IoStatus::Done;

    bool Whole() const { return bytes == SERVICE_REQUEST_SIZE; }
    std::size_t Remaining() const { return SERVICE_REQUEST_SIZE - bytes; }
};

// `step(rest, left)` is one read or write of the record's remaining bytes
// given the time left; it is called until the record is whole, the step
// fails or the bound has passed.
template <typename Byte, typename Step>
RecordTransfer TransferRecord(std::span<Byte, SERVICE_REQUEST_SIZE> record, std::chrono::milliseconds bound,
                              Step step) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + bound;
    RecordTransfer transfer;
    while (!transfer.Whole()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= std::chrono::milliseconds::zero()) {
            transfer.status = IoStatus::TimedOut;
            break;
        }
        const IoResult io = step(std::span<Byte>(record).subspan(transfer.bytes), left);
        transfer.bytes += std::min(io.bytes, transfer.Remaining());
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

}  // namespace qn38
