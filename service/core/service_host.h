// The service's lifecycle: the status reports, the control handler, the stop
// and the request loops, one per pipe instance, until stopped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "service/core/exchange.h"
#include "service/core/ports/connection.h"
#include "service/core/ports/operations.h"
#include "service/core/ports/service_control.h"

namespace qn38::service {

enum class ServiceState : std::uint32_t {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
};

inline constexpr std::uint32_t SERVICE_TYPE_OWN_PROCESS = 0x10;
inline constexpr std::uint32_t CONTROLS_STOP_AND_SHUTDOWN = 5;  // SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
inline constexpr std::uint32_t CONTROL_STOP = 1;
inline constexpr std::uint32_t CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t CONTROL_SHUTDOWN = 5;
inline constexpr std::uint32_t PENDING_WAIT_HINT_MS = 3000;
// A request under way when the stop comes is finished first, which may take
// longer than the wait hint (a stop's volume locks, a slow client's bounds):
// the service control manager is told well within each hint that the stop is
// still progressing, so `net stop` does not give up with error 1053.
inline constexpr std::chrono::milliseconds STOP_PENDING_REPORT_INTERVAL{1000};
// The exit code when the service ends without a stop control and the
// platform gave no reason (ERROR_GEN_FAILURE): the pipe could not be made, a
// listen failed, a status report was refused. Nonzero, so the service control
// manager's recovery actions restart it.
inline constexpr std::uint32_t SERVICE_EXIT_NO_PIPE = 31;
// How many connections one logon session's clients may hold at once. A tool
// sends one request at a time from each of its two threads, and its user may
// run another program that speaks the record (a script, the control
// program); each may connect again for its next request while its last
// connection still ends on the service's side. Beyond this share a
// connection is answered busy, unperformed, and the client may try again; a
// program that connects faster than its busy replies are taken has every
// further connection disconnected unread. So one session holds at most
// SESSION_CONNECTIONS_SHARE + SESSION_BUSY_REPLIES instances, and the others
// stay for the other sessions.
inline constexpr int SESSION_CONNECTIONS_SHARE = 4;
inline constexpr int SESSION_BUSY_REPLIES = 2;
// A connection past the share first waits this long, as one of the busy
// replies, for one of the session's connections to end. A client that took
// its reply and connected again finds its last connection still ending on
// the service's side, for as long as the thread that ends it waits for the
// processor; a client that knows nothing of busy replies would read one as
// a request that failed.
inline constexpr std::chrono::milliseconds SESSION_SHARE_WAIT{250};
// Instances kept listening while there is room for them.
inline constexpr std::size_t INSTANCES_LISTENING = 2;
static_assert(2 * (SESSION_CONNECTIONS_SHARE + SESSION_BUSY_REPLIES) < static_cast<int>(PIPE_INSTANCE_CAP),
              "two sessions together cannot take every instance");
// A service control manager that refuses the final report this often will
// not take it at all; the service stops trying rather than loop.
inline constexpr int STOPPED_REPORT_ATTEMPTS = 3;

ServiceStatusReport MakeStatusReport(ServiceState state, std::uint32_t checkPoint, std::uint32_t waitHint,
                                     std::uint32_t exitCode = 0);

class ServiceHost {
public:
    ServiceHost(StatusReporter& reporter, StopSignal& stop, ExchangeLimits limits = {},
                std::chrono::milliseconds stopPendingInterval = STOP_PENDING_REPORT_INTERVAL);
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // ServiceMain once the control handler is registered: start pending, the
    // pipe and its events, running, the request loops; returns after the
    // final SERVICE_STOPPED report.
    void Run(RequestServerFactory& factory, ServiceOperations& operations);

    // ServiceCtrlHandler, on the dispatcher's thread.
    void HandleControl(std::uint32_t control);

    // Raises the stop signal. The request loop makes the final report once it
    // has finished the request it may be serving; outside the loop the report
    // is made here.
    void StopService();

    // Stores the state as current and reports it; a failed report stops the service.
    bool ReportStatus(ServiceState state, std::uint32_t checkPoint, std::uint32_t waitHint);

    ServiceState CurrentState();

    // Told of every exchange the loop served, on the request thread; set before Run.
    void ObserveExchanges(std::function<void(const ExchangeReport&)> observer) { observer_ = std::move(observer); }

private:
    void RunRequestLoops(RequestServer& server, ServiceOperations& operations);
    enum class Admission { Serve, Busy, Refuse };
    // The place of a connection of `session`: within the session's share,
    // one of its busy replies, or none.
    Admission AdmitSession(std::optional<std::uint32_t> session);
    void LeaveSession(std::optional<std::uint32_t> session, Admission admission);
    // The loop of one instance, on a thread of its own: listens, and once it
    // has a client makes sure another instance listens, then serves it.
    void ServeInstance(RequestServer& server, std::size_t instance, ServiceOperations& operations);
    // Called as an instance takes a client: while fewer than
    // INSTANCES_LISTENING others listen, one more is made, with its thread,
    // if there is room for it.
    void KeepOneListening(RequestServer& server, ServiceOperations& operations);
    void Observe(const ExchangeReport& report);
    // Ends the service as a stop does, with `exitCode` in the final report.
    void Fail(std::uint32_t exitCode);
    // On a thread of its own while the loop runs: once a stop is asked for,
    // STOP_PENDING with a rising check point until the loop has ended.
    void ReportStopProgress();
    bool StopRequested();
    void ReportStopped();

    StatusReporter& reporter_;
    StopSignal& stop_;
    const ExchangeLimits limits_;
    const std::chrono::milliseconds stopPendingInterval_;
    std::function<void(const ExchangeReport&)> observer_;
    OperationQueue operationQueue_;
    std::mutex observerMutex_;  // the instances' threads tell the observer one at a time

    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable sessionLeft_;
    bool loopEnded_ = false;
    ServiceState state_ = ServiceState::StartPending;
    bool stopRequested_ = false;
    bool runOwnsFinalReport_ = false;
    bool stoppedReported_ = false;
    bool reportingStopped_ = false;
    // Nonzero once the service must end without a stop control.
    std::uint32_t exitCode_ = 0;
    // Connections held per client session; clients whose session cannot be
    // told count as one session.
    struct SessionConnections {
        int served = 0;
        int busy = 0;
    };
    std::map<std::optional<std::uint32_t>, SessionConnections> sessions_;
    // The threads of the instances after the first, and how many instances
    // listen; guarded by `mutex_`.
    std::vector<std::thread> instanceThreads_;
    std::size_t listening_ = 0;
};

}  // namespace qn38::service
