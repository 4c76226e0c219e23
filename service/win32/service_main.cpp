// QN38HotPlugService: program entry, ServiceMain and ServiceCtrlHandler. The
// lifecycle itself lives in the service core; this file connects it to the
// service control manager.
#include <windows.h>

#include <mutex>

#include "service/ServiceRequest.h"
#include "service/core/service_host.h"
#include "service/core/stop_marks.h"
#include "service/win32/dll_operations.h"
#include "service/win32/pipe_security.h"
#include "service/win32/pipe_server_win32.h"
#include "lib/win32/platform_win32.h"

namespace {

using qn38::service::ServiceStatusReport;

class Win32StatusReporter final : public qn38::service::StatusReporter {
public:
    void Attach(SERVICE_STATUS_HANDLE handle) {
        std::lock_guard lock(mutex_);
        handle_ = handle;
    }

    bool Report(const ServiceStatusReport& report) override {
        SERVICE_STATUS_HANDLE handle = nullptr;
        {
            std::lock_guard lock(mutex_);
            handle = handle_;
        }
        SERVICE_STATUS status{};
        status.dwServiceType = report.serviceType;
        status.dwCurrentState = report.currentState;
        status.dwControlsAccepted = report.controlsAccepted;
        status.dwWin32ExitCode = report.win32ExitCode;
        status.dwServiceSpecificExitCode = report.serviceSpecificExitCode;
        status.dwCheckPoint = report.checkPoint;
        status.dwWaitHint = report.waitHint;
        return handle != nullptr && SetServiceStatus(handle, &status) != FALSE;
    }

private:
    std::mutex mutex_;
    SERVICE_STATUS_HANDLE handle_ = nullptr;
};

// Shared by the dispatcher's thread (the control handler) and the thread the
// service control manager runs ServiceMain on.
Win32StatusReporter statusReporter;
qn38::service::win32::Win32StopSignal stopSignal;
qn38::service::ServiceHost host(statusReporter, stopSignal);

void WINAPI ServiceCtrlHandler(DWORD control) { host.HandleControl(control); }

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(SERVICE_NAME, ServiceCtrlHandler);
    if (handle == nullptr) return;
    statusReporter.Attach(handle);
    // Without it the tools still check every connection, only at a higher cost.
    qn38::service::win32::LetInteractiveUsersWaitOnThisProcess();

    qn38::service::win32::DllOperations library;
    qn38::service::StopMarks operations(library, library, qn38::win32::RegistryBackend());
    qn38::service::win32::PipeServerFactory factory(stopSignal);
    host.Run(factory, operations);
}

}  // namespace

int main() {
    // An empty card reader or optical drive that a library call touches must
    // never raise a "no disk" box: nobody can answer it in the service's
    // session, and it would hold the request thread.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(SERVICE_NAME), ServiceMain},
        {nullptr, nullptr},
    };
    // Run outside the service control manager, the dispatcher fails
    // and the program simply ends.
    StartServiceCtrlDispatcherW(table);
    return 0;
}
