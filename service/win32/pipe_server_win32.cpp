#include "pipe_server_win32.h"

#include <algorithm>

#include "ServiceRequest.h"
#include "overlapped_io.h"
#include "pipe_security.h"

namespace qn38::service::win32 {
namespace {

using qn38::win32::BoundedOverlapped;
using qn38::win32::PipeIoStatus;

// What the service offers: several instances, so that one client holding a
// connection leaves the others to everybody else; created all at once and
// never closed while the service runs, the first with the first-instance
// flag, so it never serves on a pipe that somebody else created before it,
// and no other process can add an instance beside them; no remote clients.
constexpr DWORD PIPE_OPEN_MODE = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
constexpr DWORD PIPE_MODE = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD PIPE_INSTANCES = 4;
constexpr DWORD PIPE_BUFFER_BYTES = 512;
constexpr DWORD PIPE_DEFAULT_TIMEOUT_MS = 1000;

}  // namespace

void Win32StopSignal::Raise() {
    std::lock_guard lock(mutex_);
    if (event_ != nullptr) SetEvent(event_);
}

void Win32StopSignal::Attach(HANDLE event) {
    std::lock_guard lock(mutex_);
    event_ = event;
}

void Win32StopSignal::Detach() {
    std::lock_guard lock(mutex_);
    event_ = nullptr;
}

FlushWatchdog::FlushWatchdog(HANDLE pipe) : pipe_(pipe), thread_([this] { Watch(); }) {}

FlushWatchdog::~FlushWatchdog() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

IoStatus FlushWatchdog::Flush(std::chrono::milliseconds bound) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        armed_ = true;
        fired_ = false;
        deadline_ = std::chrono::steady_clock::now() + bound;
        // A watchdog already waiting for an earlier deadline wakes by itself
        // and finds this one; only an idle one needs waking.
        wake = idle_ || deadline_ < waitingUntil_;
    }
    if (wake) changed_.notify_all();
    const BOOL flushed = FlushFileBuffers(pipe_);
    const DWORD error = GetLastError();
    bool fired = false;
    {
        std::lock_guard lock(mutex_);
        armed_ = false;
        fired = fired_;
    }
    if (flushed) return IoStatus::Done;
    return fired ? IoStatus::TimedOut : PipeIoStatus(error);
}

void FlushWatchdog::Watch() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (!armed_) {
            idle_ = true;
            changed_.wait(lock);
            idle_ = false;
            continue;
        }
        waitingUntil_ = deadline_;
        changed_.wait_until(lock, waitingUntil_);
        waitingUntil_ = std::chrono::steady_clock::time_point::max();
        if (quit_ || !armed_ || std::chrono::steady_clock::now() < deadline_) continue;
        // Disconnecting fails the flush whether it is waiting already or not
        // yet started, so the request thread cannot miss the deadline.
        fired_ = true;
        armed_ = false;
        DisconnectNamedPipe(pipe_);
    }
}

bool PipeConnection::OpenClientEvent() {
    clientEvent_ = qn38::win32::KernelHandle(OpenEventW(EVENT_MODIFY_STATE, FALSE, SERVICE_EVENT_NAME));
    return static_cast<bool>(clientEvent_);
}

void PipeConnection::SignalClientEvent() {
    if (clientEvent_) SetEvent(clientEvent_.get());
}

void PipeConnection::CloseClientEvent() { clientEvent_.reset(); }

IoResult PipeConnection::Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) {
    return BoundedOverlapped(pipe_, ioEvent_, bound, [&](OVERLAPPED* overlapped) {
        return ReadFile(pipe_, into.data(), static_cast<DWORD>(into.size()), nullptr, overlapped);
    });
}

IoResult PipeConnection::Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds bound) {
    return BoundedOverlapped(pipe_, ioEvent_, bound, [&](OVERLAPPED* overlapped) {
        return WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, overlapped);
    });
}

IoStatus PipeConnection::Flush(std::chrono::milliseconds bound) { return watchdog_.Flush(bound); }

void PipeConnection::Disconnect() { DisconnectNamedPipe(pipe_); }

std::optional<std::uint32_t> PipeConnection::ClientSession() {
    ULONG session = 0;
    if (!GetNamedPipeClientSessionId(pipe_, &session)) return std::nullopt;
    return session;
}

PipeInstance::PipeInstance(qn38::win32::FileHandle pipe, qn38::win32::KernelHandle connectEvent,
                           qn38::win32::KernelHandle ioEvent)
    : pipe_(std::move(pipe)),
      connectEvent_(std::move(connectEvent)),
      ioEvent_(std::move(ioEvent)),
      watchdog_(pipe_.get()),
      connection_(pipe_.get(), ioEvent_.get(), watchdog_) {}

PipeInstance::~PipeInstance() { CancelListen(); }

bool PipeInstance::CancelListen() {
    if (!listening_) return false;
    CancelIoEx(pipe_.get(), &listen_);
    DWORD unused = 0;
    const bool connected = GetOverlappedResult(pipe_.get(), &listen_, &unused, TRUE) != FALSE;
    listening_ = false;
    return connected;
}

Wake PipeInstance::WaitForClient(HANDLE stopEvent, std::uint32_t& error,
                                 std::optional<std::chrono::milliseconds> bound) {
    for (;;) {
        listen_ = OVERLAPPED{};
        listen_.hEvent = connectEvent_.get();
        if (ConnectNamedPipe(pipe_.get(), &listen_)) return Wake::ClientConnected;
        const DWORD listened = GetLastError();
        switch (listened) {
        case ERROR_IO_PENDING:
            listening_ = true;
            break;
        case ERROR_PIPE_CONNECTED:
            // The client came before the listen (between the pipe's creation
            // and the first listen): connected, but the event stays unsignalled.
            return Wake::ClientConnected;
        case ERROR_NO_DATA:
            // It came and went before the listen: clear the instance and listen again.
            DisconnectNamedPipe(pipe_.get());
            continue;
        default:
            error = listened;
            return Wake::Failed;
        }

        const HANDLE events[2] = {connectEvent_.get(), stopEvent};
        const DWORD woken =
            WaitForMultipleObjects(2, events, FALSE, bound ? qn38::win32::BoundMilliseconds(*bound) : INFINITE);
        if (woken == WAIT_TIMEOUT) {
            // A client may connect as the listen is given up on.
            return CancelListen() ? Wake::ClientConnected : Wake::TimedOut;
        }
        if (woken != WAIT_OBJECT_0) {
            if (woken == WAIT_FAILED) error = GetLastError();
            CancelListen();
            return woken == WAIT_OBJECT_0 + 1 ? Wake::Stop : Wake::Failed;
        }
        listening_ = false;
        DWORD unused = 0;
        if (GetOverlappedResult(pipe_.get(), &listen_, &unused, FALSE)) return Wake::ClientConnected;
        DisconnectNamedPipe(pipe_.get());
    }
}

PipeServer::PipeServer(qn38::win32::KernelHandle stopEvent, std::vector<std::unique_ptr<PipeInstance>> instances,
                       Win32StopSignal& stop)
    : stopEvent_(std::move(stopEvent)), instances_(std::move(instances)), stop_(stop) {
    stop_.Attach(stopEvent_.get());
}

PipeServer::~PipeServer() { stop_.Detach(); }

Wake PipeServer::WaitForClient(std::size_t instance, std::uint32_t& error,
                               std::optional<std::chrono::milliseconds> bound) {
    return instances_[instance]->WaitForClient(stopEvent_.get(), error, bound);
}

std::unique_ptr<RequestServer> PipeServerFactory::CreateServer(std::uint32_t& error) {
    const auto failed = [&](DWORD code) -> std::unique_ptr<RequestServer> {
        error = code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
        return nullptr;
    };
    try {
        const auto security = PipeSecurity::Build();
        if (!security) return failed(GetLastError());
        qn38::win32::KernelHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!stopEvent) return failed(GetLastError());
        std::vector<std::unique_ptr<PipeInstance>> instances;
        for (DWORD index = 0; index < PIPE_INSTANCES; ++index) {
            // A name that another process holds already fails the first
            // instance (access denied on Windows, for the first-instance
            // flag): that is the exit code.
            const DWORD first = index == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0;
            qn38::win32::FileHandle pipe(CreateNamedPipeW(SERVICE_PIPE_NAME, PIPE_OPEN_MODE | first, PIPE_MODE,
                                                          PIPE_INSTANCES, PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES,
                                                          PIPE_DEFAULT_TIMEOUT_MS, security->attributes()));
            if (!pipe) return failed(GetLastError());
            // Auto-reset for the listen, manual-reset for the reads and writes.
            qn38::win32::KernelHandle connectEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
            qn38::win32::KernelHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (!connectEvent || !ioEvent) return failed(GetLastError());
            instances.push_back(
                std::make_unique<PipeInstance>(std::move(pipe), std::move(connectEvent), std::move(ioEvent)));
        }
        return std::make_unique<PipeServer>(std::move(stopEvent), std::move(instances), stop_);
    } catch (...) {
        // No thread for the flush bound: serving without it could hang.
        return failed(ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace qn38::service::win32
