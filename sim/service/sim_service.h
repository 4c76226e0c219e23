// The service inside the simulated PC: the service core's lifecycle and
// exchange on threads of their own, behind a simulated pipe whose instances
// the service makes as it needs them, and a simulated named event. A
// ServiceClient on transport() runs the same exchange as the tool does on
// Windows: the record's 228 bytes cross the pipe, and a connection attempt
// fails while no instance listens (all taken, or the service not running).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "service/core/exchange.h"
#include "tool/core/ports/service_transport.h"
#include "service/core/service_host.h"
#include "sim/machine/sim_pc.h"

namespace qn38::sim {

// One instance of the pipe, as the service made it.
struct SimPipeInstance {
    // Listening: the next client's open takes it. A new instance listens at
    // once, before the service first listens on it; after a disconnect only
    // once the service listens again.
    bool listening = true;
    bool connected = false;
    bool clientOpen = false;
    std::uint64_t connection = 0;  // which connection holds it, so a stale handle finds itself disconnected
    std::deque<std::uint8_t> toService;
    std::deque<std::uint8_t> toClient;
    std::optional<std::uint32_t> clientSession;  // the connected client's logon session
};

// The pipe's instances and the named event, shared by both sides.
struct SimServiceChannel {
    std::mutex mutex;
    std::condition_variable changed;

    // The named event exists while a handle to it is open.
    int eventHandles = 0;
    bool eventSignalled = false;

    // As CreateFileW on a pipe: an open takes a listening instance or fails
    // (ERROR_PIPE_BUSY when every instance is taken); nobody queues.
    std::deque<SimPipeInstance> instances;
    std::uint64_t connections = 0;

    bool stopRaised = false;
    // The running service's process, 0 while it is stopped.
    std::uint32_t serverProcessId = 0;

    // The service is stuck inside an operation: it has read a request and
    // answers nothing until resumed. A client's bounded waits then pass at
    // once, as if the bound had run out on the simulated clock.
    bool hung = false;
    std::uint64_t abandonedReads = 0;  // client reads given up at their bound

    bool AnyListening() const {
        for (const SimPipeInstance& instance : instances) {
            if (instance.listening && !instance.connected) return true;
        }
        return false;
    }
};

class SimService;

// The tool client's pause between connection attempts on the simulated PC: it
// ends as soon as the service listens again, and lasts the full pause only
// while it does not. So a client never gives up on a service that is merely
// waiting for its thread to be scheduled, and a stopped or busy service still
// costs the real attempts and pauses.
class SimServicePause final : public tool::RetryPause {
public:
    explicit SimServicePause(SimService& service) : service_(service) {}
    void Pause(std::chrono::milliseconds duration) override;

private:
    SimService& service_;
};

class SimService {
public:
    // The operations run on `pc` while holding `machine`, the lock every user
    // of the simulated PC holds.
    SimService(SimPc& pc, std::mutex& machine, service::ExchangeLimits limits = {});
    ~SimService();
    SimService(const SimService&) = delete;
    SimService& operator=(const SimService&) = delete;

    // The service control manager starts the service: returns once it has
    // reported running (or stopped). Does nothing while it runs.
    void Start();
    // A control from the service control manager, on the caller's thread.
    void Control(std::uint32_t control);
    // The stop control; returns once the service's thread has ended.
    void Stop();
    bool Running();

    // The tool's side of the pipe and the event, for a client in logon
    // session 1, or in `session`.
    tool::ServiceTransport& transport();
    tool::ServiceTransport& transport(std::uint32_t session);

    std::vector<service::ServiceStatusReport> StatusReports();
    std::vector<service::ExchangeReport> Exchanges();
    // The service finishes an exchange after the client has its reply: waits
    // until `count` exchanges are complete or the bound has passed.
    bool WaitForExchanges(std::size_t count, std::chrono::milliseconds bound);
    // Called on the service's thread after every exchange.
    std::function<void(const service::ExchangeReport&)> onExchange;
    // Waits until the service has read every byte its clients sent, or the bound has passed.
    bool WaitUntilAllRead(std::chrono::milliseconds bound);
    // Waits until the pipe takes a client, or the bound has passed.
    bool WaitUntilListening(std::chrono::milliseconds bound);

    // From the next operation on, the service never finishes one until
    // Resume (or a stop); the operation then runs and is answered late.
    void Hang();
    void Resume();
    std::uint64_t AbandonedReads();

private:
    class Reporter;
    class StopFlag;
    class Factory;
    class LockedOperations;
    class Transport;

    SimServiceChannel channel_;
    service::ExchangeLimits limits_;
    std::unique_ptr<Reporter> reporter_;
    std::unique_ptr<StopFlag> stop_;
    std::unique_ptr<Factory> factory_;
    std::unique_ptr<LockedOperations> operations_;
    std::mutex transportsMutex_;
    std::map<std::uint32_t, std::unique_ptr<Transport>> transports_;

    std::uint32_t nextProcessId_ = 1000;
    std::mutex hostMutex_;
    std::unique_ptr<service::ServiceHost> host_;
    std::thread thread_;

    std::mutex exchangesMutex_;
    std::condition_variable exchangesChanged_;
    std::vector<service::ExchangeReport> exchanges_;
    // Where the exchanges of the service's current run begin.
    std::size_t runFirstExchange_ = 0;
};

}  // namespace qn38::sim
