#include "service_host.h"

#include <system_error>
#include <thread>
#include <vector>

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
    if (!reported) Fail(SERVICE_EXIT_NO_PIPE);
    return reported;
}

void ServiceHost::Fail(std::uint32_t exitCode) {
    {
        std::lock_guard lock(mutex_);
        if (exitCode_ == 0) exitCode_ = exitCode != 0 ? exitCode : SERVICE_EXIT_NO_PIPE;
    }
    StopService();
}

void ServiceHost::ReportStopped() {
    std::uint32_t exitCode = 0;
    {
        std::lock_guard lock(mutex_);
        if (stoppedReported_ || reportingStopped_) return;
        reportingStopped_ = true;
        state_ = ServiceState::Stopped;
        exitCode = exitCode_;
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
    if (ReportStatus(ServiceState::StartPending, 1, PENDING_WAIT_HINT_MS) && !StopRequested()) {
        // Without its pipe (a descriptor that could not be built, a name held
        // by someone else) the service would report running and serve nobody;
        // it stops with the reason as its exit code, for sc query to show.
        std::uint32_t error = 0;
        std::unique_ptr<RequestServer> server = factory.CreateServer(error);
        if (server) {
            if (ReportStatus(ServiceState::Running, 0, 0)) RunRequestLoops(*server, operations);
        } else {
            Fail(error);
        }
        // The pipe is gone before the service says it has stopped.
    }
    {
        std::lock_guard lock(mutex_);
        runOwnsFinalReport_ = false;
    }
    ReportStopped();
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

bool ServiceHost::AdmitSession(std::optional<std::uint32_t> session) {
    std::unique_lock lock(mutex_);
    SessionConnections& held = sessions_[session];  // stays put while other sessions come and go
    if (held.served < SESSION_CONNECTIONS_SERVED) {
        ++held.served;
        return true;
    }
    if (held.waiting >= SESSION_CONNECTIONS_WAITING) {
        ++held.arriving;
        const bool placed = sessionLeft_.wait_for(lock, limits_.sessionGrace, [&] {
            return held.served < SESSION_CONNECTIONS_SERVED || held.waiting < SESSION_CONNECTIONS_WAITING;
        });
        --held.arriving;
        if (!placed) return false;
        if (held.served < SESSION_CONNECTIONS_SERVED) {
            ++held.served;
            return true;
        }
    }
    // The connection served before this one ends within its bounds, so the
    // wait is bounded too; it holds no more than this client's own instance.
    ++held.waiting;
    sessionLeft_.wait(lock, [&] { return held.served < SESSION_CONNECTIONS_SERVED; });
    --held.waiting;
    ++held.served;
    // Its waiting place is free for a connection within its grace.
    sessionLeft_.notify_all();
    return true;
}

void ServiceHost::LeaveSession(std::optional<std::uint32_t> session) {
    {
        std::lock_guard lock(mutex_);
        SessionConnections& held = sessions_[session];
        --held.served;
        if (held.served == 0 && held.waiting == 0 && held.arriving == 0) sessions_.erase(session);
    }
    sessionLeft_.notify_all();
}

void ServiceHost::ServeInstance(RequestServer& server, std::size_t instance, ServiceOperations& operations) {
    // A stop is looked at between exchanges only: the request being served is
    // finished first.
    while (!StopRequested()) {
        std::uint32_t error = 0;
        const Wake wake = server.WaitForClient(instance, error, std::nullopt);
        if (wake == Wake::Stop) break;
        if (wake == Wake::Failed) {
            // An instance that cannot listen any more would leave its share of
            // clients unserved for good: the service ends, with the reason,
            // and the service control manager starts it again.
            Fail(error);
            break;
        }
        ServiceConnection& client = server.Client(instance);
        const std::optional<std::uint32_t> session = client.ClientSession();
        ExchangeReport report;
        if (AdmitSession(session)) {
            report = ServeExchange(client, operations, limits_, &operationQueue_);
            LeaveSession(session);
        } else {
            client.Disconnect();
            report.end = ExchangeEnd::Refused;
        }
        if (observer_) {
            std::lock_guard lock(observerMutex_);
            observer_(report);
        }
    }
}

void ServiceHost::RunRequestLoops(RequestServer& server, ServiceOperations& operations) {
    std::thread progress;
    try {
        progress = std::thread([this] { ReportStopProgress(); });
    } catch (const std::system_error&) {
        // Without the reports a long request may outlast the stop's wait
        // hint; serving is still better than not serving.
    }
    std::vector<std::thread> instances;
    for (std::size_t instance = 1; instance < server.Instances(); ++instance) {
        try {
            instances.emplace_back(
                [this, &server, &operations, instance] { ServeInstance(server, instance, operations); });
        } catch (const std::system_error&) {
            break;  // fewer instances serve all the same
        }
    }
    ServeInstance(server, 0, operations);
    for (std::thread& thread : instances) thread.join();
    {
        std::lock_guard lock(mutex_);
        loopEnded_ = true;
    }
    changed_.notify_all();
    if (progress.joinable()) progress.join();
}

}  // namespace qn38::service
