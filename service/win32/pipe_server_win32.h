// The service's pipe instances, their connect events, the stop event they
// share, and the connections they serve: overlapped calls with bounded waits.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "service/core/ports/connection.h"
#include "service/core/ports/service_control.h"
#include "service/win32/pipe_security.h"
#include "lib/win32/handles.h"

namespace qn38::service::win32 {

// The stop event, raised from the control handler's thread. It exists only
// while the request server does; a raise before that is seen by the host's
// own stop flag.
class Win32StopSignal final : public StopSignal {
public:
    void Raise() override;
    void Attach(HANDLE event);
    void Detach();

private:
    std::mutex mutex_;
    HANDLE event_ = nullptr;
};

// FlushFileBuffers takes no OVERLAPPED and waits for the client even on an
// overlapped handle. A thread of its own disconnects the pipe when the client
// has not read the reply in time, which ends the flush.
class FlushWatchdog {
public:
    explicit FlushWatchdog(HANDLE pipe);
    ~FlushWatchdog();
    FlushWatchdog(const FlushWatchdog&) = delete;
    FlushWatchdog& operator=(const FlushWatchdog&) = delete;

    // Meanwhile sets `clientEvent`, if any, every `resignal`.
    IoStatus Flush(std::chrono::milliseconds bound, std::chrono::milliseconds resignal, HANDLE clientEvent);

private:
    void Watch();

    HANDLE pipe_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool fired_ = false;
    bool quit_ = false;
    bool idle_ = false;
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::milliseconds resignal_{100};
    HANDLE clientEvent_ = nullptr;
    std::chrono::steady_clock::time_point nextSignal_;
    std::chrono::steady_clock::time_point waitingUntil_ = std::chrono::steady_clock::time_point::max();
    std::thread thread_;
};

class PipeConnection final : public ServiceConnection {
public:
    PipeConnection(HANDLE pipe, HANDLE ioEvent, FlushWatchdog& watchdog)
        : pipe_(pipe), ioEvent_(ioEvent), watchdog_(watchdog) {}

    bool OpenClientEvent() override;
    void SignalClientEvent() override;
    void CloseClientEvent() override;
    IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override;
    IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds bound) override;
    IoStatus Flush(std::chrono::milliseconds bound, std::chrono::milliseconds resignal) override;
    void Disconnect() override;
    std::optional<std::uint32_t> ClientSession() override;

private:
    HANDLE pipe_;
    HANDLE ioEvent_;
    FlushWatchdog& watchdog_;
    qn38::win32::KernelHandle clientEvent_;
};

// One instance of the pipe's name with what its thread needs to serve it.
class PipeInstance {
public:
    PipeInstance(qn38::win32::FileHandle pipe, qn38::win32::KernelHandle connectEvent,
                 qn38::win32::KernelHandle ioEvent);
    ~PipeInstance();
    PipeInstance(const PipeInstance&) = delete;
    PipeInstance& operator=(const PipeInstance&) = delete;

    Wake WaitForClient(HANDLE stopEvent, std::uint32_t& error, std::optional<std::chrono::milliseconds> bound);
    ServiceConnection& Client() { return connection_; }

private:
    // True when the listen had connected a client before it could be cancelled.
    bool CancelListen();

    qn38::win32::FileHandle pipe_;
    qn38::win32::KernelHandle connectEvent_;
    qn38::win32::KernelHandle ioEvent_;
    OVERLAPPED listen_{};
    bool listening_ = false;
    FlushWatchdog watchdog_;
    PipeConnection connection_;
};

class PipeServer final : public RequestServer {
public:
    PipeServer(qn38::win32::KernelHandle stopEvent, std::unique_ptr<PipeSecurity> security,
               std::unique_ptr<PipeInstance> first, Win32StopSignal& stop);
    ~PipeServer() override;

    std::size_t Instances() override { return count_.load(); }
    bool AddInstance(std::uint32_t& error) override;
    Wake WaitForClient(std::size_t instance, std::uint32_t& error,
                       std::optional<std::chrono::milliseconds> bound) override;
    ServiceConnection& Client(std::size_t instance) override { return instances_[instance]->Client(); }

private:
    // The instances close before the stop event.
    qn38::win32::KernelHandle stopEvent_;
    std::unique_ptr<PipeSecurity> security_;
    // A place for every instance there may be, so that adding one moves none
    // that another thread is using.
    std::array<std::unique_ptr<PipeInstance>, PIPE_INSTANCE_CAP> instances_;
    std::atomic<std::size_t> count_{0};
    Win32StopSignal& stop_;
};

class PipeServerFactory final : public RequestServerFactory {
public:
    explicit PipeServerFactory(Win32StopSignal& stop) : stop_(stop) {}
    std::unique_ptr<RequestServer> CreateServer(std::uint32_t& error) override;

private:
    Win32StopSignal& stop_;
};

}  // namespace qn38::service::win32
