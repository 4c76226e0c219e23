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
        KernelHandle event(CreateEventW(nullptr, FALSE, FALSE, SERVICE_EVENT_NAME));
        if (!event) return nullptr;
        return std::make_unique<NamedEvent>(std::move(event));
    }

    std::unique_ptr<ServicePipe> OpenPipe() override {
        // Identification only: whoever answers on the pipe's name may learn
        // who the user is, never act as the user.
        FileHandle pipe(CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (!pipe) return nullptr;
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
