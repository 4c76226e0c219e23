#include "pipe_server_win32.h"

#include <algorithm>

#include "ServiceRequest.h"
#include "pipe_security.h"

namespace qn38::service::win32 {
namespace {

// What the service offers: one instance, so clients are served one at a time;
// the first instance of the name, so it never serves on a pipe that somebody
// else created before it; no remote clients.
constexpr DWORD PIPE_OPEN_MODE = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
constexpr DWORD PIPE_MODE = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD PIPE_INSTANCES = 1;
constexpr DWORD PIPE_BUFFER_BYTES = 512;
constexpr DWORD PIPE_DEFAULT_TIMEOUT_MS = 1000;

DWORD Milliseconds(std::chrono::milliseconds bound) {
    return static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(bound.count(), INFINITE - 1));
}

IoStatus StatusOf(DWORD error) {
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

// Starts one overlapped call and waits for it within the bound. On an
// overlapped handle a call without an OVERLAPPED record may report a
// completion that has not happened, so every call has one, and a call given
// up on is cancelled and awaited before its record goes out of scope.
template <typename Start>
IoResult Overlapped(HANDLE pipe, HANDLE ioEvent, std::chrono::milliseconds bound, Start start) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = ioEvent;
    DWORD moved = 0;
    if (!start(&overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return {StatusOf(error), 0};
        if (WaitForSingleObject(ioEvent, Milliseconds(bound)) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlapped);
            const BOOL completed = GetOverlappedResult(pipe, &overlapped, &moved, TRUE);
            return {completed && moved > 0 ? IoStatus::Done : IoStatus::TimedOut, moved};
        }
    }
    if (!GetOverlappedResult(pipe, &overlapped, &moved, FALSE)) return {StatusOf(GetLastError()), moved};
    return {IoStatus::Done, moved};
}

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
    return fired ? IoStatus::TimedOut : StatusOf(error);
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
    return Overlapped(pipe_, ioEvent_, bound, [&](OVERLAPPED* overlapped) {
        return ReadFile(pipe_, into.data(), static_cast<DWORD>(into.size()), nullptr, overlapped);
    });
}

IoResult PipeConnection::Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds bound) {
    return Overlapped(pipe_, ioEvent_, bound, [&](OVERLAPPED* overlapped) {
        return WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, overlapped);
    });
}

IoStatus PipeConnection::Flush(std::chrono::milliseconds bound) { return watchdog_.Flush(bound); }

void PipeConnection::Disconnect() { DisconnectNamedPipe(pipe_); }

PipeServer::PipeServer(qn38::win32::KernelHandle stopEvent, qn38::win32::KernelHandle connectEvent,
                       qn38::win32::KernelHandle ioEvent, qn38::win32::FileHandle pipe, Win32StopSignal& stop)
    : stopEvent_(std::move(stopEvent)),
      connectEvent_(std::move(connectEvent)),
      ioEvent_(std::move(ioEvent)),
      pipe_(std::move(pipe)),
      stop_(stop),
      watchdog_(pipe_.get()),
      connection_(pipe_.get(), ioEvent_.get(), watchdog_) {
    stop_.Attach(stopEvent_.get());
}

PipeServer::~PipeServer() {
    stop_.Detach();
    CancelListen();
}

bool PipeServer::CancelListen() {
    if (!listening_) return false;
    CancelIoEx(pipe_.get(), &listen_);
    DWORD unused = 0;
    const bool connected = GetOverlappedResult(pipe_.get(), &listen_, &unused, TRUE) != FALSE;
    listening_ = false;
    return connected;
}

Wake PipeServer::WaitForClient(std::optional<std::chrono::milliseconds> bound) {
    for (;;) {
        listen_ = OVERLAPPED{};
        listen_.hEvent = connectEvent_.get();
        if (ConnectNamedPipe(pipe_.get(), &listen_)) return Wake::ClientConnected;
        switch (GetLastError()) {
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
            return Wake::Failed;
        }

        const HANDLE events[2] = {connectEvent_.get(), stopEvent_.get()};
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, bound ? Milliseconds(*bound) : INFINITE);
        if (woken == WAIT_TIMEOUT) {
            // A client may connect as the listen is given up on.
            return CancelListen() ? Wake::ClientConnected : Wake::TimedOut;
        }
        if (woken != WAIT_OBJECT_0) {
            CancelListen();
            return woken == WAIT_OBJECT_0 + 1 ? Wake::Stop : Wake::Failed;
        }
        listening_ = false;
        DWORD unused = 0;
        if (GetOverlappedResult(pipe_.get(), &listen_, &unused, FALSE)) return Wake::ClientConnected;
        DisconnectNamedPipe(pipe_.get());
    }
}

std::unique_ptr<RequestServer> PipeServerFactory::CreateServer(std::uint32_t& error) {
    const auto failed = [&](DWORD code) -> std::unique_ptr<RequestServer> {
        error = code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
        return nullptr;
    };
    try {
        const auto security = PipeSecurity::Build();
        if (!security) return failed(GetLastError());
        // A name that another process holds already fails here (access denied
        // on Windows, for the first-instance flag): that is the exit code.
        qn38::win32::FileHandle pipe(CreateNamedPipeW(SERVICE_PIPE_NAME, PIPE_OPEN_MODE, PIPE_MODE, PIPE_INSTANCES,
                                                      PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES, PIPE_DEFAULT_TIMEOUT_MS,
                                                      security->attributes()));
        if (!pipe) return failed(GetLastError());
        qn38::win32::KernelHandle connectEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        qn38::win32::KernelHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        qn38::win32::KernelHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!connectEvent || !stopEvent || !ioEvent) return failed(GetLastError());
        return std::make_unique<PipeServer>(std::move(stopEvent), std::move(connectEvent), std::move(ioEvent),
                                            std::move(pipe), stop_);
    } catch (...) {
        // No thread for the flush bound: serving without it could hang.
        return failed(ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace qn38::service::win32
