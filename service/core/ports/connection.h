// The pipe as the service's request loops see it: several instances, each
// serving one client at a time by one exchange over a connection whose every
// wait is bounded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "service/record_transfer.h"

namespace qn38::service {

using qn38::IoResult;
using qn38::IoStatus;

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
    // Meanwhile the client's event, if open, is set again every `resignal`:
    // a client that waits on the event before it reads may have had its
    // signal taken by another client's reset or wait, and would otherwise
    // never read the reply that waits for it.
    virtual IoStatus Flush(std::chrono::milliseconds bound, std::chrono::milliseconds resignal) = 0;
    virtual void Disconnect() = 0;  // DisconnectNamedPipe
    // GetNamedPipeClientSessionId: the client's logon session, none when the
    // platform cannot tell.
    virtual std::optional<std::uint32_t> ClientSession() = 0;
};

enum class Wake {
    ClientConnected,  // Client() is the connected client until it is disconnected
    Stop,             // the stop signal was raised
    TimedOut,         // the bound passed first; nobody is listening any more
    Failed,           // listening or waiting failed: no client will ever come
};

// How many instances of the pipe there may be: one listens while the others
// serve. Kept well above what one logon session may hold (see the service
// host), so that no session can take them all.
inline constexpr std::size_t PIPE_INSTANCE_CAP = 16;

// The pipe's instances, each with its connect event, and the stop event they
// share. Instances are made as they are needed, up to PIPE_INSTANCE_CAP, and
// kept: an instance whose client has gone listens again, so the pipe's name
// never passes out of the service's hands while it runs. Each instance is
// used by one thread at a time.
class RequestServer {
public:
    virtual ~RequestServer() = default;
    // Made so far; the factory makes the first.
    virtual std::size_t Instances() = 0;
    // CreateNamedPipeW of one more instance, numbered Instances() - 1 once
    // made; false with the platform's error when it cannot be made.
    virtual bool AddInstance(std::uint32_t& error) = 0;
    // Listens on the instance (overlapped ConnectNamedPipe) and waits for a
    // client or the stop signal, without a time limit unless a bound is
    // given; Failed gives the platform's error in `error`.
    virtual Wake WaitForClient(std::size_t instance, std::uint32_t& error,
                               std::optional<std::chrono::milliseconds> bound) = 0;
    virtual ServiceConnection& Client(std::size_t instance) = 0;
};

// Builds the pipe and its events; null when the pipe cannot be served safely,
// with the platform's nonzero error code why in `error`.
class RequestServerFactory {
public:
    virtual ~RequestServerFactory() = default;
    virtual std::unique_ptr<RequestServer> CreateServer(std::uint32_t& error) = 0;
};

}  // namespace qn38::service
