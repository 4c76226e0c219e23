#include "sim_service.h"

#include <algorithm>

#include "core/platform_operations.h"

namespace qn38::sim {
namespace {

using Lock = std::unique_lock<std::mutex>;
using service::IoResult;
using service::IoStatus;

std::size_t Take(std::deque<std::uint8_t>& from, std::span<std::uint8_t> into) {
    const std::size_t count = std::min(from.size(), into.size());
    std::copy_n(from.begin(), count, into.begin());
    from.erase(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

// The service's end of the one pipe instance.
class SimConnection final : public service::ServiceConnection {
public:
    explicit SimConnection(SimServiceChannel& channel) : channel_(channel) {}

    bool OpenClientEvent() override {
        std::lock_guard lock(channel_.mutex);
        if (channel_.eventHandles == 0) return false;
        ++channel_.eventHandles;
        holdsEvent_ = true;
        return true;
    }

    void SignalClientEvent() override {
        std::lock_guard lock(channel_.mutex);
        if (!holdsEvent_) return;
        channel_.eventSignalled = true;
        channel_.changed.notify_all();
    }

    void CloseClientEvent() override {
        std::lock_guard lock(channel_.mutex);
        if (!holdsEvent_) return;
        holdsEvent_ = false;
        if (--channel_.eventHandles == 0) channel_.eventSignalled = false;
    }

    IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override {
        Lock lock(channel_.mutex);
        channel_.changed.wait_for(lock, bound, [&] { return !channel_.toService.empty() || !channel_.clientOpen; });
        if (!channel_.toService.empty()) {
            const std::size_t bytes = Take(channel_.toService, into);
            channel_.changed.notify_all();
            return {IoStatus::Done, bytes};
        }
        return {channel_.clientOpen ? IoStatus::TimedOut : IoStatus::Closed, 0};
    }

    IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds) override {
        std::lock_guard lock(channel_.mutex);
        if (!channel_.clientOpen) return {IoStatus::Closed, 0};
        channel_.toClient.insert(channel_.toClient.end(), bytes.begin(), bytes.end());
        channel_.changed.notify_all();
        return {IoStatus::Done, bytes.size()};
    }

    IoStatus Flush(std::chrono::milliseconds bound) override {
        Lock lock(channel_.mutex);
        channel_.changed.wait_for(lock, bound, [&] { return channel_.toClient.empty() || !channel_.clientOpen; });
        if (channel_.toClient.empty()) return IoStatus::Done;
        return channel_.clientOpen ? IoStatus::TimedOut : IoStatus::Closed;
    }

    void Disconnect() override {
        std::lock_guard lock(channel_.mutex);
        // Whatever the client has not read is lost, as on a real pipe.
        channel_.connected = false;
        channel_.listening = false;
        channel_.clientOpen = false;
        channel_.toService.clear();
        channel_.toClient.clear();
        ++channel_.connection;
        channel_.changed.notify_all();
    }

    std::optional<std::uint32_t> ClientSession() override {
        std::lock_guard lock(channel_.mutex);
        return channel_.clientSession;
    }

private:
    SimServiceChannel& channel_;
    bool holdsEvent_ = false;
};

class SimRequestServer final : public service::RequestServer {
public:
    // As on Windows, a new instance takes a client at once, before the
    // service first listens; after a disconnect only once it listens again.
    explicit SimRequestServer(SimServiceChannel& channel) : channel_(channel), connection_(channel) {
        std::lock_guard lock(channel_.mutex);
        channel_.listening = true;
    }

    ~SimRequestServer() override {
        std::lock_guard lock(channel_.mutex);
        channel_.listening = false;
        channel_.connected = false;
        channel_.clientOpen = false;
        ++channel_.connection;
        channel_.changed.notify_all();
    }

    std::size_t Instances() override { return 1; }

    service::Wake WaitForClient(std::size_t, std::uint32_t&, std::optional<std::chrono::milliseconds> bound) override {
        Lock lock(channel_.mutex);
        if (channel_.stopRaised) return service::Wake::Stop;
        if (channel_.connected) return service::Wake::ClientConnected;
        channel_.listening = true;
        channel_.changed.notify_all();
        const auto woken = [&] { return channel_.connected || channel_.stopRaised; };
        if (!bound) {
            channel_.changed.wait(lock, woken);
        } else if (!channel_.changed.wait_for(lock, *bound, woken)) {
            channel_.listening = false;
            return service::Wake::TimedOut;
        }
        channel_.listening = false;
        return channel_.connected ? service::Wake::ClientConnected : service::Wake::Stop;
    }

    service::ServiceConnection& Client(std::size_t) override { return connection_; }

private:
    SimServiceChannel& channel_;
    SimConnection connection_;
};

// The tool's handle to the named event.
class SimEvent final : public tool::ServiceEvent {
public:
    explicit SimEvent(SimServiceChannel& channel) : channel_(channel) {}

    ~SimEvent() override {
        std::lock_guard lock(channel_.mutex);
        if (--channel_.eventHandles == 0) channel_.eventSignalled = false;
    }

    void Reset() override {
        std::lock_guard lock(channel_.mutex);
        channel_.eventSignalled = false;
    }

    bool Wait(std::chrono::milliseconds bound) override {
        Lock lock(channel_.mutex);
        if (!channel_.changed.wait_for(lock, bound, [&] { return channel_.eventSignalled; })) return false;
        channel_.eventSignalled = false;  // auto-reset: one waiter takes the signal
        return true;
    }

private:
    SimServiceChannel& channel_;
};

// The tool's end of the pipe, for one connection.
class SimClientPipe final : public tool::ServicePipe {
public:
    SimClientPipe(SimServiceChannel& channel, std::uint64_t connection) : channel_(channel), connection_(connection) {}

    ~SimClientPipe() override {
        std::lock_guard lock(channel_.mutex);
        if (Current()) channel_.clientOpen = false;
        channel_.changed.notify_all();
    }

    std::uint32_t ServerProcessId() override {
        std::lock_guard lock(channel_.mutex);
        return Current() ? channel_.serverProcessId : 0;
    }

    IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds) override {
        std::lock_guard lock(channel_.mutex);
        if (!Current()) return {IoStatus::Closed, 0};
        channel_.toService.insert(channel_.toService.end(), bytes.begin(), bytes.end());
        channel_.changed.notify_all();
        return {IoStatus::Done, bytes.size()};
    }

    IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override {
        Lock lock(channel_.mutex);
        channel_.changed.wait_for(lock, bound,
                                  [&] { return !Current() || !channel_.toClient.empty() || channel_.hung; });
        if (!Current()) return {IoStatus::Closed, 0};
        if (channel_.toClient.empty()) {
            ++channel_.abandonedReads;
            return {IoStatus::TimedOut, 0};
        }
        const std::size_t bytes = Take(channel_.toClient, into);
        channel_.changed.notify_all();
        return {IoStatus::Done, bytes};
    }

private:
    bool Current() const { return channel_.connected && channel_.connection == connection_; }

    SimServiceChannel& channel_;
    const std::uint64_t connection_;
};

class SimProcessHold final : public tool::ProcessHold {
public:
    SimProcessHold(SimServiceChannel& channel, std::uint32_t processId) : channel_(channel), processId_(processId) {}
    bool Ended() override {
        std::lock_guard lock(channel_.mutex);
        return channel_.serverProcessId != processId_;
    }

private:
    SimServiceChannel& channel_;
    const std::uint32_t processId_;
};

}  // namespace

class SimService::Reporter final : public service::StatusReporter {
public:
    bool Report(const service::ServiceStatusReport& report) override {
        std::lock_guard lock(mutex);
        reports.push_back(report);
        changed.notify_all();
        return true;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<service::ServiceStatusReport> reports;
};

class SimService::StopFlag final : public service::StopSignal {
public:
    explicit StopFlag(SimServiceChannel& channel) : channel_(channel) {}

    void Raise() override {
        std::lock_guard lock(channel_.mutex);
        channel_.stopRaised = true;
        channel_.changed.notify_all();
    }

private:
    SimServiceChannel& channel_;
};

class SimService::Factory final : public service::RequestServerFactory {
public:
    explicit Factory(SimServiceChannel& channel) : channel_(channel) {}
    std::unique_ptr<service::RequestServer> CreateServer(std::uint32_t&) override {
        return std::make_unique<SimRequestServer>(channel_);
    }

private:
    SimServiceChannel& channel_;
};

class SimService::LockedOperations final : public service::ServiceOperations {
public:
    LockedOperations(SimPc& pc, std::mutex& machine, SimServiceChannel& channel)
        : operations_(pc.platform()), machine_(machine), channel_(channel) {}

    int AddFilter() override {
        AwaitResume();
        std::lock_guard lock(machine_);
        return operations_.AddFilter();
    }
    int SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                  std::uint32_t checkDisks) override {
        AwaitResume();
        std::lock_guard lock(machine_);
        return operations_.SetStatus(bus, stateChange, linkEnable, checkDisks);
    }
    int SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) override {
        AwaitResume();
        std::lock_guard lock(machine_);
        return operations_.SetSize(defLen, startAdrs, endAdrs);
    }
    int WriteLog(const char* title) override {
        AwaitResume();
        std::lock_guard lock(machine_);
        return operations_.WriteLog(title);
    }
    std::uint32_t LastError() override { return operations_.LastError(); }
    std::optional<StopVeto> LastVeto() override { return operations_.LastVeto(); }

private:
    // Outside the machine lock: the tool's own queries go on while the service hangs.
    void AwaitResume() {
        Lock lock(channel_.mutex);
        channel_.changed.wait(lock, [&] { return !channel_.hung || channel_.stopRaised; });
    }

    service::PlatformOperations operations_;
    std::mutex& machine_;
    SimServiceChannel& channel_;
};

class SimService::Transport final : public tool::ServiceTransport {
public:
    explicit Transport(SimServiceChannel& channel) : channel_(channel) {}

    std::unique_ptr<tool::ServiceEvent> CreateOrOpenEvent() override {
        std::lock_guard lock(channel_.mutex);
        if (channel_.eventHandles++ == 0) channel_.eventSignalled = false;
        return std::make_unique<SimEvent>(channel_);
    }

    std::unique_ptr<tool::ServicePipe> OpenPipe() override {
        std::lock_guard lock(channel_.mutex);
        if (!channel_.listening || channel_.connected) return nullptr;
        channel_.connected = true;
        channel_.clientOpen = true;
        channel_.listening = false;
        channel_.toService.clear();
        channel_.toClient.clear();
        ++channel_.connection;
        channel_.changed.notify_all();
        return std::make_unique<SimClientPipe>(channel_, channel_.connection);
    }

    std::uint32_t ServiceProcessId() override {
        std::lock_guard lock(channel_.mutex);
        return channel_.serverProcessId;
    }

    std::unique_ptr<tool::ProcessHold> HoldProcess(std::uint32_t processId) override {
        std::lock_guard lock(channel_.mutex);
        if (processId == 0 || processId != channel_.serverProcessId) return nullptr;
        return std::make_unique<SimProcessHold>(channel_, processId);
    }

private:
    SimServiceChannel& channel_;
};

SimService::SimService(SimPc& pc, std::mutex& machine, service::ExchangeLimits limits)
    : limits_(limits),
      reporter_(std::make_unique<Reporter>()),
      stop_(std::make_unique<StopFlag>(channel_)),
      factory_(std::make_unique<Factory>(channel_)),
      operations_(std::make_unique<LockedOperations>(pc, machine, channel_)),
      transport_(std::make_unique<Transport>(channel_)) {}

SimService::~SimService() { Stop(); }

tool::ServiceTransport& SimService::transport() { return *transport_; }

void SimService::Start() {
    std::lock_guard lock(hostMutex_);
    if (thread_.joinable()) return;
    {
        std::lock_guard channelLock(channel_.mutex);
        channel_.stopRaised = false;
        // Every start is a new process.
        channel_.serverProcessId = nextProcessId_;
        nextProcessId_ += 4;
    }
    std::size_t reportsBefore = 0;
    {
        std::lock_guard reportLock(reporter_->mutex);
        reportsBefore = reporter_->reports.size();
    }
    host_ = std::make_unique<service::ServiceHost>(*reporter_, *stop_, limits_);
    host_->ObserveExchanges([this](const service::ExchangeReport& report) {
        if (onExchange) onExchange(report);
        {
            std::lock_guard exchangesLock(exchangesMutex_);
            exchanges_.push_back(report);
        }
        exchangesChanged_.notify_all();
    });
    thread_ = std::thread([this] { host_->Run(*factory_, *operations_); });

    std::unique_lock reportLock(reporter_->mutex);
    reporter_->changed.wait(reportLock, [&] {
        for (std::size_t i = reportsBefore; i < reporter_->reports.size(); ++i) {
            const auto state = static_cast<service::ServiceState>(reporter_->reports[i].currentState);
            if (state == service::ServiceState::Running || state == service::ServiceState::Stopped) return true;
        }
        return false;
    });
}

void SimService::Control(std::uint32_t control) {
    std::lock_guard lock(hostMutex_);
    if (host_) host_->HandleControl(control);
}

void SimService::Stop() {
    std::lock_guard lock(hostMutex_);
    if (!thread_.joinable()) return;
    host_->HandleControl(service::CONTROL_STOP);
    thread_.join();
    host_.reset();
    std::lock_guard channelLock(channel_.mutex);
    channel_.serverProcessId = 0;
}

bool SimService::Running() {
    std::lock_guard lock(hostMutex_);
    return host_ && host_->CurrentState() == service::ServiceState::Running;
}

std::vector<service::ServiceStatusReport> SimService::StatusReports() {
    std::lock_guard lock(reporter_->mutex);
    return reporter_->reports;
}

std::vector<service::ExchangeReport> SimService::Exchanges() {
    std::lock_guard lock(exchangesMutex_);
    return exchanges_;
}

}  // namespace qn38::sim

namespace qn38::sim {

bool SimService::WaitUntilListening(std::chrono::milliseconds bound) {
    std::unique_lock lock(channel_.mutex);
    // A hung service never listens again; the client's pauses then pass at once on the simulated clock.
    return channel_.changed.wait_for(lock, bound,
                                     [&] { return (channel_.listening && !channel_.connected) || channel_.hung; });
}

void SimService::Hang() {
    std::lock_guard lock(channel_.mutex);
    channel_.hung = true;
    channel_.changed.notify_all();
}

void SimService::Resume() {
    std::lock_guard lock(channel_.mutex);
    channel_.hung = false;
    channel_.changed.notify_all();
}

std::uint64_t SimService::AbandonedReads() {
    std::lock_guard lock(channel_.mutex);
    return channel_.abandonedReads;
}

void SimServicePause::Pause(std::chrono::milliseconds duration) { service_.WaitUntilListening(duration); }

bool SimService::WaitForExchanges(std::size_t count, std::chrono::milliseconds bound) {
    std::unique_lock lock(exchangesMutex_);
    return exchangesChanged_.wait_for(lock, bound, [&] { return exchanges_.size() >= count; });
}

}  // namespace qn38::sim
