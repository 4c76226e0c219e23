// The pipe as the service's request loop sees it: one client at a time, each
// served by one exchange over a connection whose every wait is bounded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace qn38::service {

enum class IoStatus {
    Done,      // the bytes moved
    Closed,    // the client has gone (broken pipe)
    TimedOut,  // the bound passed first; the operation was cancelled
    Failed,    // any other error
};

struct IoResult {
    IoStatus status = IoStatus::Failed;
    std::size_t bytes = 0;  // moved before the call ended, whatever the status
};

// One connected client.
class ServiceConnection {
public:
    virtual ~ServiceConnection() = default;
    // OpenEventW(EVENT_MODIFY_STATE) of the event the client created before it connected.
    virtual bool OpenClientEvent() = 0;
    virtual void SignalClientEvent() = 0;  // SetEvent
    virtual void CloseClientEvent() = 0;   // CloseHandle
    // One overlapped ReadFile: Done with at least one byte, or why not.
    virtual IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) = 0;
    // One overlapped WriteFile.
    virtual IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds bound) = 0;
    // FlushFileBuffers: Done once the client has read everything written.
    virtual IoStatus Flush(std::chrono::milliseconds bound) = 0;
    virtual void Disconnect() = 0;  // DisconnectNamedPipe
};

enum class Wake {
    ClientConnected,  // Client() is the connected client until it is disconnected
    Stop,             // the stop signal was raised
    TimedOut,         // the bound passed first; nobody is listening any more
    Failed,           // listening or waiting failed: no client will ever come
};

// The pipe instance with its connect and stop events.
class RequestServer {
public:
    virtual ~RequestServer() = default;
    // Listens (overlapped ConnectNamedPipe) and waits for a client or the
    // stop signal, without a time limit unless a bound is given.
    virtual Wake WaitForClient(std::optional<std::chrono::milliseconds> bound) = 0;
    virtual ServiceConnection& Client() = 0;
};

// Builds the pipe and its events; null when the pipe cannot be served safely,
// with the platform's nonzero error code why in `error`.
class RequestServerFactory {
public:
    virtual ~RequestServerFactory() = default;
    virtual std::unique_ptr<RequestServer> CreateServer(std::uint32_t& error) = 0;
};

}  // namespace qn38::service
