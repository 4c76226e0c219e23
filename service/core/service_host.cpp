#include "service_host.h"

namespace qn38::service {

ServiceStatusReport MakeStatusReport(ServiceState state, std::uint32_t checkPoint, std::uint32_t waitHint) {
    return {
        .serviceType = SERVICE_TYPE_OWN_PROCESS,
        .currentState = static_cast<std::uint32_t>(state),
        .controlsAccepted = state == ServiceState::StartPending ? 0 : CONTROLS_STOP_AND_SHUTDOWN,
        .win32ExitCode = 0,
        .serviceSpecificExitCode = 0,
        .checkPoint = checkPoint,
        .waitHint = waitHint,
    };
}

ServiceHost::ServiceHost(StatusReporter& reporter, StopSignal& stop, ExchangeLimits limits)
    : reporter_(reporter), stop_(stop), limits_(limits) {}

ServiceState ServiceHost::CurrentState() {
    std::lock_guard lock(mutex_);
    return state_;
}

bool ServiceHost::StopRequested() {
    std::lock_guard lock(mutex_);
    return stopRequested_;
}

bool ServiceHost::ReportStatus(ServiceState state, std::uint32_t checkPoint, std::uint32_t waitHint) {
    {
        std::lock_guard lock(mutex_);
        state_ = state;
    }
    const bool reported = reporter_.Report(MakeStatusReport(state, checkPoint, waitHint));
    if (!reported) StopService();
    return reported;
}

void ServiceHost::ReportStopped() {
    {
        std::lock_guard lock(mutex_);
        if (stoppedReported_ || reportingStopped_) return;
        reportingStopped_ = true;
        state_ = ServiceState::Stopped;
    }
    bool reported = false;
    for (int attempt = 0; attempt < STOPPED_REPORT_ATTEMPTS && !reported; ++attempt) {
        reported = reporter_.Report(MakeStatusReport(ServiceState::Stopped, 0, 0));
    }
    std::lock_guard lock(mutex_);
    reportingStopped_ = false;
    stoppedReported_ = reported;
}

void ServiceHost::StopService() {
    bool runReportsLast = false;
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
        runReportsLast = runOwnsFinalReport_;
    }
    stop_.Raise();
    // Once SERVICE_STOPPED is accepted the process may end at any moment; while
    // a request is being served that report waits for its end.
    if (!runReportsLast) ReportStopped();
}

void ServiceHost::HandleControl(std::uint32_t control) {
    const ServiceState current = CurrentState();
    if ((control == CONTROL_STOP || control == CONTROL_SHUTDOWN) && current != ServiceState::Stopped) {
        ReportStatus(ServiceState::StopPending, 1, PENDING_WAIT_HINT_MS);
        StopService();
        return;
    }
    ReportStatus(current, 0, 0);
}

void ServiceHost::Run(RequestServerFactory& factory, ServiceOperations& operations) {
    {
        std::lock_guard lock(mutex_);
        // Stopped before it ran: StopService has made the final report already.
        if (stopRequested_) return;
        runOwnsFinalReport_ = true;
    }
    if (ReportStatus(ServiceState::StartPending, 1, PENDING_WAIT_HINT_MS) && !StopRequested()) {
        // Without its pipe (a descriptor that could not be built, a name held
        // by someone else) the service would report running and serve nobody.
        std::unique_ptr<RequestServer> server = factory.CreateServer();
        if (server && ReportStatus(ServiceState::Running, 0, 0)) RunRequestLoop(*server, operations);
        // The pipe is gone before the service says it has stopped.
    }
    {
        std::lock_guard lock(mutex_);
        runOwnsFinalReport_ = false;
    }
    ReportStopped();
}

void ServiceHost::RunRequestLoop(RequestServer& server, ServiceOperations& operations) {
    // A stop is looked at between exchanges only: the request being served is
    // finished first. A wait that fails ends the loop as a stop does.
    while (!StopRequested()) {
        if (server.WaitForClient() != Wake::ClientConnected) return;
        const ExchangeReport report = ServeExchange(server.Client(), operations, limits_);
        if (observer_) observer_(report);
    }
}

}  // namespace qn38::service
