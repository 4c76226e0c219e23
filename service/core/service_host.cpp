#include "service_host.h"

#include <system_error>
#include <thread>

namespace qn38::service {

ServiceStatusReport MakeStatusReport(ServiceState state, std::uint32_t checkPoint, std::uint32_t waitHint,
                                     std::uint32_t exitCode) {
    return {
        .serviceType = SERVICE_TYPE_OWN_PROCESS,
        .currentState = static_cast<std::uint32_t>(state),
        .controlsAccepted = state == ServiceState::StartPending ? 0 : CONTROLS_STOP_AND_SHUTDOWN,
        .win32ExitCode = exitCode,
        .serviceSpecificExitCode = 0,
        .checkPoint = checkPoint,
        .waitHint = waitHint,
    };
}

ServiceHost::ServiceHost(StatusReporter& reporter, StopSignal& stop, ExchangeLimits limits,
                         std::chrono::milliseconds stopPendingInterval)
    : reporter_(reporter), stop_(stop), limits_(limits), stopPendingInterval_(stopPendingInterval) {}

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

void ServiceHost::ReportStopped(std::uint32_t exitCode) {
    {
        std::lock_guard lock(mutex_);
        if (stoppedReported_ || reportingStopped_) return;
        reportingStopped_ = true;
        state_ = ServiceState::Stopped;
    }
    bool reported = false;
    for (int attempt = 0; attempt < STOPPED_REPORT_ATTEMPTS && !reported; ++attempt) {
        reported = reporter_.Report(MakeStatusReport(ServiceState::Stopped, 0, 0, exitCode));
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
    changed_.notify_all();
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
    std::uint32_t exitCode = 0;
    if (ReportStatus(ServiceState::StartPending, 1, PENDING_WAIT_HINT_MS) && !StopRequested()) {
        // Without its pipe (a descriptor that could not be built, a name held
        // by someone else) the service would report running and serve nobody;
        // it stops with the reason as its exit code, for sc query to show.
        std::unique_ptr<RequestServer> server = factory.CreateServer(exitCode);
        if (server) {
            exitCode = 0;
            if (ReportStatus(ServiceState::Running, 0, 0)) RunRequestLoop(*server, operations);
        } else if (exitCode == 0) {
            exitCode = SERVICE_EXIT_NO_PIPE;
        }
        // The pipe is gone before the service says it has stopped.
    }
    {
        std::lock_guard lock(mutex_);
        runOwnsFinalReport_ = false;
    }
    ReportStopped(exitCode);
}

void ServiceHost::ReportStopProgress() {
    std::unique_lock lock(mutex_);
    // The stop control itself reported check point 1.
    std::uint32_t checkPoint = 1;
    changed_.wait(lock, [&] { return loopEnded_ || stopRequested_; });
    while (!changed_.wait_for(lock, stopPendingInterval_, [&] { return loopEnded_; })) {
        state_ = ServiceState::StopPending;
        lock.unlock();
        reporter_.Report(MakeStatusReport(ServiceState::StopPending, ++checkPoint, PENDING_WAIT_HINT_MS));
        lock.lock();
    }
}

void ServiceHost::RunRequestLoop(RequestServer& server, ServiceOperations& operations) {
    std::thread progress;
    try {
        progress = std::thread([this] { ReportStopProgress(); });
    } catch (const std::system_error&) {
        // Without the reports a long request may outlast the stop's wait
        // hint; serving is still better than not serving.
    }
    // A stop is looked at between exchanges only: the request being served is
    // finished first. A wait that fails ends the loop as a stop does. The
    // wait for a client lasts only until an outstanding disable is due to be
    // undone; a stopping service undoes them all, so no slot stays disabled
    // in the profile whatever happens to the enable.
    DisableUndo undo(operations, *clock_, undoBound_);
    while (!StopRequested()) {
        const Wake wake = server.WaitForClient(undo.TimeToNextUndo());
        if (wake == Wake::TimedOut) {
            undo.UndoOverdue();
            continue;
        }
        if (wake != Wake::ClientConnected) break;
        const ExchangeReport report = ServeExchange(server.Client(), undo, limits_);
        if (observer_) observer_(report);
        undo.UndoOverdue();
    }
    undo.UndoAll();
    {
        std::lock_guard lock(mutex_);
        loopEnded_ = true;
    }
    changed_.notify_all();
    if (progress.joinable()) progress.join();
}

}  // namespace qn38::service
