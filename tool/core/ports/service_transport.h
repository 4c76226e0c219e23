// How the tool reaches the service: the shared named event, the pipe, and
// the pause between connection attempts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "service/record_transfer.h"

namespace qn38::tool {

using qn38::IoResult;
using qn38::IoStatus;

// The event SERVICE_EVENT_NAME, which the service sets once it has performed
// the request; closed when destroyed.
class ServiceEvent {
public:
    virtual ~ServiceEvent() = default;
    virtual void Reset() = 0;  // ResetEvent
    // WaitForSingleObject: true when signalled within the bound.
    virtual bool Wait(std::chrono::milliseconds bound) = 0;
};

// A connected pipe; closed when destroyed. Opened for overlapped I/O, so
// that every wait on the service has a bound.
class ServicePipe {
public:
    virtual ~ServicePipe() = default;
    // GetNamedPipeServerProcessId: the process serving this connection; 0
    // when it cannot be told.
    virtual std::uint32_t ServerProcessId() = 0;
    // One WriteFile, given up (CancelIoEx) after `bound`.
    virtual IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds bound) = 0;
    // One ReadFile, given up (CancelIoEx) after `bound`.
    virtual IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) = 0;
};

// An open handle to a process: while it is open the process's id is given to
// no other process, even after the process has ended.
class ProcessHold {
public:
    virtual ~ProcessHold() = default;
    virtual bool Ended() = 0;  // WaitForSingleObject(process, 0)
};

class ServiceTransport {
public:
    virtual ~ServiceTransport() = default;
    // CreateEventExW(an access list open to every interactive user, auto-reset,
    // non-signalled, SERVICE_EVENT_NAME, wait and modify only): creates the
    // event or opens it; null on failure.
    virtual std::unique_ptr<ServiceEvent> CreateOrOpenEvent() = 0;
    // CreateFileW(SERVICE_PIPE_NAME, read and write, OPEN_EXISTING,
    // overlapped); null while no instance of the name listens.
    virtual std::unique_ptr<ServicePipe> OpenPipe() = 0;
    // OpenSCManagerW, OpenServiceW, QueryServiceStatusEx: the process the
    // service control manager runs as SERVICE_NAME; 0 while it runs none.
    virtual std::uint32_t ServiceProcessId() = 0;
    // OpenProcess(SYNCHRONIZE); null when this user may not open it or it has gone.
    virtual std::unique_ptr<ProcessHold> HoldProcess(std::uint32_t processId) = 0;
};

class RetryPause {
public:
    virtual ~RetryPause() = default;
    virtual void Pause(std::chrono::milliseconds duration) = 0;  // Sleep
};

}  // namespace qn38::tool
