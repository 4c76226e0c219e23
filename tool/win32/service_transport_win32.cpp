#include "service_transport_win32.h"

#include <windows.h>
#include <sddl.h>

#include "ServiceRequest.h"
#include "win32/handles.h"

namespace qn38::tool::win32 {
namespace {

using qn38::win32::FileHandle;
using qn38::win32::KernelHandle;
using qn38::win32::LocalMemory;
using qn38::win32::ServiceManagerHandle;

// The process the service control manager runs as the service; 0 while it
// runs none (stopped, starting, or nothing registered under the name).
DWORD ServiceProcessId() {
    const ServiceManagerHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return 0;
    const ServiceManagerHandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_STATUS));
    if (!service) return 0;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
        return 0;
    }
    return status.dwProcessId;
}

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
        // Whichever user's tool creates the event, every other logged-on
        // user's tool must be able to open it, so it carries its own list
        // (the default one would grant its creator alone); and each asks
        // only for the rights it uses, which that list grants.
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(SERVICE_EVENT_ACCESS_LIST, SDDL_REVISION_1,
                                                                  &descriptor, nullptr)) {
            return nullptr;
        }
        const LocalMemory owned(descriptor);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        // Flags 0: auto-reset, not signalled.
        KernelHandle event(CreateEventExW(&attributes, SERVICE_EVENT_NAME, 0, SYNCHRONIZE | EVENT_MODIFY_STATE));
        if (!event) return nullptr;
        return std::make_unique<NamedEvent>(std::move(event));
    }

    std::unique_ptr<ServicePipe> OpenPipe() override {
        // Whoever answers on the pipe's name gets the user's stops: while the
        // service is stopped or restarting any process could create a pipe of
        // that name, so only the process the service control manager runs as
        // the service counts. It is asked before connecting, so that the one
        // pipe instance is not held while the service control manager answers.
        const DWORD service = ServiceProcessId();
        if (service == 0) return nullptr;
        // Identification only: whoever answers on the pipe's name may learn
        // who the user is, never act as the user.
        FileHandle pipe(CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        ULONG server = 0;
        if (!pipe || !GetNamedPipeServerProcessId(pipe.get(), &server) || server != service) return nullptr;
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
