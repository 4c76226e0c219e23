// Overlapped pipe I/O with a time limit, for both ends of the service's pipe:
// start the call, wait for it within the bound, cancel it when the bound has
// passed, and collect what it moved.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>

#include "service/record_transfer.h"

namespace qn38::win32 {

inline DWORD BoundMilliseconds(std::chrono::milliseconds bound) {
    return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(bound.count(), 0, INFINITE - 1));
}

inline IoStatus PipeIoStatus(DWORD error) {
    switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_NO_DATA:
        return IoStatus::Closed;
    case ERROR_OPERATION_ABORTED:
        return IoStatus::TimedOut;
    default:
        return IoStatus::Failed;
    }
}

// `start(overlapped)` is one ReadFile or WriteFile on `handle`, opened for
// overlapped I/O, with `event` (manual-reset; the call resets it) in the
// record. On such a handle a call without an OVERLAPPED record may report a
// completion that has not happened, so every call has one, and a call given
// up on is cancelled and awaited before its record and buffer go out of
// scope.
template <typename Start>
IoResult BoundedOverlapped(HANDLE handle, HANDLE event, std::chrono::milliseconds bound, Start start) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD moved = 0;
    if (!start(&overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return {PipeIoStatus(error), 0};
        if (WaitForSingleObject(event, BoundMilliseconds(bound)) != WAIT_OBJECT_0) {
            CancelIoEx(handle, &overlapped);
            // The call may have completed before the cancellation reached it.
            const BOOL completed = GetOverlappedResult(handle, &overlapped, &moved, TRUE);
            return {completed && moved > 0 ? IoStatus::Done : IoStatus::TimedOut, moved};
        }
    }
    if (!GetOverlappedResult(handle, &overlapped, &moved, FALSE)) return {PipeIoStatus(GetLastError()), moved};
    return {IoStatus::Done, moved};
}

}  // namespace qn38::win32
