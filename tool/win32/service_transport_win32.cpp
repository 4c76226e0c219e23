#include "service_transport_win32.h"

#include <windows.h>

#include "ServiceRequest.h"
#include "win32/handles.h"

namespace qn38::tool::win32 {
namespace {

using qn38::win32::FileHandle;
using qn38::win32::KernelHandle;

class NamedEvent final : public ServiceEvent {
public:
    explicit NamedEvent(KernelHandle event) : event_(std::move(event)) {}

    void Reset() override { ResetEvent(event_.get()); }

    bool Wait(std::chrono::milliseconds bound) override {
        return WaitForSingleObject(event_.get(), static_cast<DWORD>(bound.count())) == WAIT_OBJECT_0;
    }

private:
    KernelHandle event_;
};

// The pipe is opened for overlapped I/O so that the wait for the reply can
// be bounded: a synchronous ReadFile on a service that never answers would
// hold the calling thread for ever.
class ClientPipe final : public ServicePipe {
public:
    ClientPipe(FileHandle pipe, KernelHandle done) : pipe_(std::move(pipe)), done_(std::move(done)) {}

    bool Write(std::span<const std::uint8_t> bytes) override {
        // The pipe's buffer takes the request at once; the wait only ends the
        // overlapped call.
        const auto written = Transfer(
            [&](OVERLAPPED& overlapped) {
                return WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
            },
            INFINITE);
        return written == bytes.size();
    }

    bool Flush() override { return FlushFileBuffers(pipe_.get()) != FALSE; }

    std::size_t Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override {
        return Transfer(
            [&](OVERLAPPED& overlapped) {
                return ReadFile(pipe_.get(), into.data(), static_cast<DWORD>(into.size()), nullptr, &overlapped);
            },
            static_cast<DWORD>(bound.count()));
    }

private:
    // Starts one overlapped transfer and waits at most `wait` ms for it. A
    // transfer still pending then is cancelled (CancelIoEx), and awaited
    // until the cancellation has completed: the OVERLAPPED and the buffer
    // must outlive the I/O.
    template <typename Start>
    std::size_t Transfer(Start start, DWORD wait) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = done_.get();
        if (!start(overlapped) && GetLastError() != ERROR_IO_PENDING) return 0;
        if (WaitForSingleObject(done_.get(), wait) != WAIT_OBJECT_0) CancelIoEx(pipe_.get(), &overlapped);
        DWORD transferred = 0;
        if (!GetOverlappedResult(pipe_.get(), &overlapped, &transferred, TRUE)) return 0;
        return transferred;
    }

    FileHandle pipe_;
    KernelHandle done_;  // manual-reset: ReadFile and WriteFile reset it as they start
};

class Win32ServiceTransport final : public ServiceTransport {
public:
    std::unique_ptr<ServiceEvent> CreateOrOpenEvent() override {
        KernelHandle event(CreateEventW(nullptr, FALSE, FALSE, SERVICE_EVENT_NAME));
        if (!event) return nullptr;
        return std::make_unique<NamedEvent>(std::move(event));
    }

    std::unique_ptr<ServicePipe> OpenPipe() override {
        // Identification only: whoever answers on the pipe's name may learn
        // who the user is, never act as the user.
        FileHandle pipe(CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (!pipe) return nullptr;
        KernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!done) return nullptr;
        return std::make_unique<ClientPipe>(std::move(pipe), std::move(done));
    }
};

class SleepPause final : public RetryPause {
public:
    void Pause(std::chrono::milliseconds duration) override { Sleep(static_cast<DWORD>(duration.count())); }
};

}  // namespace

ServiceTransport& ServiceTransportBackend() {
    static Win32ServiceTransport transport;
    return transport;
}

RetryPause& RetryPauseBackend() {
    static SleepPause pause;
    return pause;
}

}  // namespace qn38::tool::win32
