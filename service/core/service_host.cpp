#include "service/core/service_host.h"

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

ServiceHost::Admission ServiceHost::AdmitSession(std::optional<std::uint32_t> session) {
    std::unique_lock lock(mutex_);
    SessionConnections& held = sessions_[session];
    if (held.served < SESSION_CONNECTIONS_SHARE) {
        ++held.served;
        return Admission::Serve;
    }
    if (held.busy >= SESSION_BUSY_REPLIES) return Admission::Refuse;
    // Counted as busy while it waits, so that a session never holds more
    // instances than its share and its busy replies. A service that is
    // stopping takes no more work: the waiter is answered busy.
    ++held.busy;
    if (!sessionLeft_.wait_for(lock, SESSION_SHARE_WAIT,
                               [&] { return held.served < SESSION_CONNECTIONS_SHARE || stopRequested_; }) ||
        stopRequested_) {
        return Admission::Busy;
    }
    --held.busy;
    ++held.served;
    return Admission::Serve;
}

void ServiceHost::LeaveSession(std::optional<std::uint32_t> session, Admission admission) {
    std::lock_guard lock(mutex_);
    SessionConnections& held = sessions_[session];
    if (admission == Admission::Serve) --held.served;
    if (admission == Admission::Busy) --held.busy;
    if (held.served == 0 && held.busy == 0) sessions_.erase(session);
    sessionLeft_.notify_all();
}

void ServiceHost::Observe(const ExchangeReport& report) {
    if (!observer_) return;
    std::lock_guard lock(observerMutex_);
    observer_(report);
}

void ServiceHost::KeepOneListening(RequestServer& server, ServiceOperations& operations) {
    std::lock_guard lock(mutex_);
    --listening_;
    // Two, so that a program that connects again and again cannot take the
    // one that listens each time the moment before another client tries.
    while (listening_ < INSTANCES_LISTENING && !stopRequested_ && server.Instances() < PIPE_INSTANCE_CAP) {
        std::uint32_t error = 0;
        // Without it the instances already made serve all the same, and the
        // next one is tried as the next client comes.
        if (!server.AddInstance(error)) return;
        try {
            const std::size_t instance = server.Instances() - 1;
            instanceThreads_.emplace_back(
                [this, &server, &operations, instance] { ServeInstance(server, instance, operations); });
            ++listening_;
        } catch (const std::system_error&) {
            // An instance without its thread takes clients that nobody
            // serves: it stays, but nobody counts it as listening, and no
            // more are made.
            return;
        }
    }
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
        // A session that has no connection finds another instance listening
        // while this one serves, unless every instance is taken.
        KeepOneListening(server, operations);
        ServiceConnection& client = server.Client(instance);
        const std::optional<std::uint32_t> session = client.ClientSession();
        const Admission admission = AdmitSession(session);
        ExchangeReport report;
        if (admission == Admission::Serve) {
            report = ServeExchange(client, operations, limits_, &operationQueue_, session);
        } else if (admission == Admission::Busy) {
            report = TurnAwayBusy(client, limits_);
        } else {
            client.Disconnect();
            report.end = ExchangeEnd::Refused;
        }
        LeaveSession(session, admission);
        Observe(report);
        std::lock_guard lock(mutex_);
        ++listening_;
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
    {
        std::lock_guard lock(mutex_);
        listening_ = 1;
    }
    ServeInstance(server, 0, operations);
    // No instance is made once a stop is asked for, so the list only shrinks here.
    for (;;) {
        std::thread thread;
        {
            std::lock_guard lock(mutex_);
            if (instanceThreads_.empty()) break;
            thread = std::move(instanceThreads_.back());
            instanceThreads_.pop_back();
        }
        thread.join();
    }
    {
        std::lock_guard lock(mutex_);
        loopEnded_ = true;
    }
    changed_.notify_all();
    if (progress.joinable()) progress.join();
}

}  // namespace qn38::service
