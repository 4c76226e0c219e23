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

class ClientPipe final : public ServicePipe {
public:
    explicit ClientPipe(FileHandle pipe) : pipe_(std::move(pipe)) {}

    bool Write(std::span<const std::uint8_t> bytes) override {
        DWORD written = 0;
        return WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }

    bool Flush() override { return FlushFileBuffers(pipe_.get()) != FALSE; }

    std::size_t Read(std::span<std::uint8_t> into) override {
        DWORD read = 0;
        if (!ReadFile(pipe_.get(), into.data(), static_cast<DWORD>(into.size()), &read, nullptr)) return 0;
        return read;
    }

private:
    FileHandle pipe_;
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
                                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        ULONG server = 0;
        if (!pipe || !GetNamedPipeServerProcessId(pipe.get(), &server) || server != service) return nullptr;
        return std::make_unique<ClientPipe>(std::move(pipe));
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
