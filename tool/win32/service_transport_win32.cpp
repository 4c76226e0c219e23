#include "tool/win32/service_transport_win32.h"

#include <windows.h>
#include <sddl.h>

#include "service/ServiceRequest.h"
#include "lib/win32/handles.h"
#include "service/win32/overlapped_io.h"

namespace qn38::tool::win32 {
namespace {

using qn38::win32::BoundedOverlapped;
using qn38::win32::FileHandle;
using qn38::win32::KernelHandle;
using qn38::win32::LocalMemory;
using qn38::win32::ServiceManagerHandle;

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

class ClientPipe final : public ServicePipe {
public:
    ClientPipe(FileHandle pipe, HANDLE done) : pipe_(std::move(pipe)), done_(done) {}

    std::uint32_t ServerProcessId() override {
        ULONG server = 0;
        return GetNamedPipeServerProcessId(pipe_.get(), &server) ? server : 0;
    }

    IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds bound) override {
        return BoundedOverlapped(pipe_.get(), done_, bound, [&](OVERLAPPED* overlapped) {
            return WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, overlapped);
        });
    }

    IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override {
        return BoundedOverlapped(pipe_.get(), done_, bound, [&](OVERLAPPED* overlapped) {
            return ReadFile(pipe_.get(), into.data(), static_cast<DWORD>(into.size()), nullptr, overlapped);
        });
    }

private:
    FileHandle pipe_;
    HANDLE done_;
};

class HeldProcess final : public ProcessHold {
public:
    explicit HeldProcess(KernelHandle process) : process_(std::move(process)) {}
    bool Ended() override { return WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0; }

private:
    KernelHandle process_;
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
        // Identification only: whoever answers on the pipe's name may learn
        // who the user is, never act as the user.
        FileHandle pipe(CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (!pipe) return nullptr;
        // One completion event per thread, made once: a thread has one
        // transfer under way at a time, and ReadFile and WriteFile reset the
        // (manual-reset) event as they start. Making it for every request
        // cost two calls to the wine server's worth of a round trip.
        thread_local const KernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!done) return nullptr;
        return std::make_unique<ClientPipe>(std::move(pipe), done.get());
    }

    std::uint32_t ServiceProcessId() override {
        const ServiceManagerHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager) return 0;
        const ServiceManagerHandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_STATUS));
        if (!service) return 0;
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof status, &needed)) {
            return 0;
        }
        return status.dwProcessId;  // 0 while the service is stopped
    }

    std::unique_ptr<ProcessHold> HoldProcess(std::uint32_t processId) override {
        // SYNCHRONIZE is all the hold needs: it is only kept open and asked
        // whether the process has ended.
        KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
        if (!process) return nullptr;
        return std::make_unique<HeldProcess>(std::move(process));
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
