#include "service/win32/pipe_server_win32.h"

#include <algorithm>

#include "service/ServiceRequest.h"
#include "service/win32/overlapped_io.h"
#include "service/win32/pipe_security.h"

namespace qn38::service::win32 {
namespace {

using qn38::win32::BoundedOverlapped;
using qn38::win32::PipeIoStatus;

// What the service offers: instances made as they are needed, up to the cap,
// so that one client holding a connection leaves the others to everybody
// else, and never closed while the service runs; the first with the
// first-instance flag, so it never serves on a pipe that somebody else
// created before it; no remote clients.
constexpr DWORD PIPE_OPEN_MODE = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
constexpr DWORD PIPE_MODE = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD PIPE_BUFFER_BYTES = 512;
constexpr DWORD PIPE_DEFAULT_TIMEOUT_MS = 1000;

// One more instance of the pipe's name with its events; null with the
// platform's error in `error`.
std::unique_ptr<PipeInstance> MakeInstance(PipeSecurity& security, bool first, DWORD& error) {
    // A name that another process holds already fails the first instance
    // (access denied on Windows, for the first-instance flag): that is the
    // exit code.
    qn38::win32::FileHandle pipe(CreateNamedPipeW(SERVICE_PIPE_NAME,
                                                  PIPE_OPEN_MODE | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                                  PIPE_MODE, static_cast<DWORD>(PIPE_INSTANCE_CAP), PIPE_BUFFER_BYTES,
                                                  PIPE_BUFFER_BYTES, PIPE_DEFAULT_TIMEOUT_MS, security.attributes()));
    if (!pipe) {
        error = GetLastError();
        return nullptr;
    }
    // Auto-reset for the listen, manual-reset for the reads and writes.
    qn38::win32::KernelHandle connectEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    qn38::win32::KernelHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connectEvent || !ioEvent) {
        error = GetLastError();
        return nullptr;
    }
    try {
        return std::make_unique<PipeInstance>(std::move(pipe), std::move(connectEvent), std::move(ioEvent));
    } catch (...) {
        // No thread for the flush bound: serving without it could hang.
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
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

IoStatus FlushWatchdog::Flush(std::chrono::milliseconds bound, std::chrono::milliseconds resignal, HANDLE clientEvent) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        armed_ = true;
        fired_ = false;
        const auto now = std::chrono::steady_clock::now();
        deadline_ = now + bound;
        resignal_ = std::max(resignal, std::chrono::milliseconds{1});
        clientEvent_ = clientEvent;
        nextSignal_ = now + resignal_;
        // A watchdog that is not idle wakes every `resignal` by itself and
        // finds this flush: waking it would cost every request a thread hop.
        wake = idle_ || deadline_ < waitingUntil_;
    }
    if (wake) changed_.notify_all();
    const BOOL flushed = FlushFileBuffers(pipe_);
    const DWORD error = GetLastError();
    bool fired = false;
    {
        std::lock_guard lock(mutex_);
        armed_ = false;
        clientEvent_ = nullptr;
        fired = fired_;
    }
    if (flushed) return IoStatus::Done;
    return fired ? IoStatus::TimedOut : PipeIoStatus(error);
}

void FlushWatchdog::Watch() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        const auto now = std::chrono::steady_clock::now();
        // Idle once the last flush's bound has passed; until then it ticks,
        // so that a flush armed meanwhile needs no waking.
        if (!armed_ && now >= deadline_) {
            idle_ = true;
            changed_.wait(lock);
            idle_ = false;
            continue;
        }
        waitingUntil_ = std::min(deadline_, now + resignal_);
        changed_.wait_until(lock, waitingUntil_);
        waitingUntil_ = std::chrono::steady_clock::time_point::max();
        if (quit_ || !armed_) continue;
        const auto woken = std::chrono::steady_clock::now();
        if (woken < deadline_) {
            if (clientEvent_ != nullptr && woken >= nextSignal_) {
                SetEvent(clientEvent_);
                nextSignal_ = woken + resignal_;
            }
            continue;
        }
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

IoStatus PipeConnection::Flush(std::chrono::milliseconds bound, std::chrono::milliseconds resignal) {
    return watchdog_.Flush(bound, resignal, clientEvent_.get());
}

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

PipeServer::PipeServer(qn38::win32::KernelHandle stopEvent, std::unique_ptr<PipeSecurity> security,
                       std::unique_ptr<PipeInstance> first, Win32StopSignal& stop)
    : stopEvent_(std::move(stopEvent)), security_(std::move(security)), stop_(stop) {
    instances_[0] = std::move(first);
    count_ = 1;
    stop_.Attach(stopEvent_.get());
}

PipeServer::~PipeServer() { stop_.Detach(); }

bool PipeServer::AddInstance(std::uint32_t& error) {
    const std::size_t count = count_.load();
    if (count >= instances_.size()) {
        error = ERROR_PIPE_BUSY;
        return false;
    }
    DWORD made = ERROR_SUCCESS;
    instances_[count] = MakeInstance(*security_, false, made);
    if (!instances_[count]) {
        error = made != ERROR_SUCCESS ? made : ERROR_GEN_FAILURE;
        return false;
    }
    count_ = count + 1;
    return true;
}

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
        auto security = PipeSecurity::Build();
        if (!security) return failed(GetLastError());
        qn38::win32::KernelHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!stopEvent) return failed(GetLastError());
        DWORD made = ERROR_SUCCESS;
        std::unique_ptr<PipeInstance> first = MakeInstance(*security, true, made);
        if (!first) return failed(made);
        return std::make_unique<PipeServer>(std::move(stopEvent), std::move(security), std::move(first), stop_);
    } catch (...) {
        return failed(ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace qn38::service::win32
