// How the tool reaches the service: the shared named event, the pipe, and
// the pause between connection attempts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace qn38::tool {

// The event SERVICE_EVENT_NAME, which the service sets once it has performed
// the request; closed when destroyed.
class ServiceEvent {
public:
    virtual ~ServiceEvent() = default;
    virtual void Reset() = 0;  // ResetEvent
    // WaitForSingleObject: true when signalled within the bound.
    virtual bool Wait(std::chrono::milliseconds bound) = 0;
};

// A connected pipe to the service; closed when destroyed.
class ServicePipe {
public:
    virtual ~ServicePipe() = default;
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;  // WriteFile of all the bytes
    virtual bool Flush() = 0;                                     // FlushFileBuffers
    // ReadFile, given up after `bound`: the bytes read, 0 when the pipe is
    // broken, the read failed or nothing came within the bound.
    virtual std::size_t Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) = 0;
};

class ServiceTransport {
public:
    virtual ~ServiceTransport() = default;
    // CreateEventExW(an access list open to every interactive user, auto-reset,
    // non-signalled, SERVICE_EVENT_NAME, wait and modify only): creates the
    // event or opens it; null on failure.
    virtual std::unique_ptr<ServiceEvent> CreateOrOpenEvent() = 0;
    // CreateFileW(SERVICE_PIPE_NAME, read and write, OPEN_EXISTING); null
    // while the service is not listening (absent, or serving another client)
    // and when the pipe's server is not the service's own process.
    virtual std::unique_ptr<ServicePipe> OpenPipe() = 0;
};

class RetryPause {
public:
    virtual ~RetryPause() = default;
    virtual void Pause(std::chrono::milliseconds duration) = 0;  // Sleep
};

}  // namespace qn38::tool
