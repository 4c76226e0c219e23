#include "sim/service/sim_service.h"

#include <algorithm>
#include <array>
#include <atomic>

#include "service/core/platform_operations.h"
#include "service/core/stop_marks.h"

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

// The service's end of one pipe instance.
class SimConnection final : public service::ServiceConnection {
public:
    SimConnection(SimServiceChannel& channel, std::size_t index) : channel_(channel), index_(index) {}

    bool OpenClientEvent() override {
        std::lock_guard lock(channel_.mutex);
        if (channel_.eventHandles == 0) return false;
        ++channel_.eventHandles;
        holdsEvent_ = true;
        return true;
    }

    void SignalClientEvent() override {
        std::lock_guard lock(channel_.mutex);
        Signal();
    }

    void CloseClientEvent() override {
        std::lock_guard lock(channel_.mutex);
        if (!holdsEvent_) return;
        holdsEvent_ = false;
        if (--channel_.eventHandles == 0) channel_.eventSignalled = false;
    }

    IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override {
        Lock lock(channel_.mutex);
        SimPipeInstance& pipe = Instance();
        channel_.changed.wait_for(lock, bound, [&] { return !pipe.toService.empty() || !pipe.clientOpen; });
        if (!pipe.toService.empty()) {
            const std::size_t bytes = Take(pipe.toService, into);
            channel_.changed.notify_all();
            return {IoStatus::Done, bytes};
        }
        return {pipe.clientOpen ? IoStatus::TimedOut : IoStatus::Closed, 0};
    }

    IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds) override {
        std::lock_guard lock(channel_.mutex);
        SimPipeInstance& pipe = Instance();
        if (!pipe.clientOpen) return {IoStatus::Closed, 0};
        pipe.toClient.insert(pipe.toClient.end(), bytes.begin(), bytes.end());
        channel_.changed.notify_all();
        return {IoStatus::Done, bytes.size()};
    }

    IoStatus Flush(std::chrono::milliseconds bound, std::chrono::milliseconds resignal) override {
        Lock lock(channel_.mutex);
        SimPipeInstance& pipe = Instance();
        const auto deadline = std::chrono::steady_clock::now() + bound;
        const auto taken = [&] { return pipe.toClient.empty() || !pipe.clientOpen; };
        while (!channel_.changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + resignal),
                                            taken) &&
               std::chrono::steady_clock::now() < deadline) {
            Signal();
        }
        if (pipe.toClient.empty()) return IoStatus::Done;
        return pipe.clientOpen ? IoStatus::TimedOut : IoStatus::Closed;
    }

    void Disconnect() override {
        std::lock_guard lock(channel_.mutex);
        SimPipeInstance& pipe = Instance();
        // Whatever the client has not read is lost, as on a real pipe.
        pipe.connected = false;
        pipe.listening = false;
        pipe.clientOpen = false;
        pipe.toService.clear();
        pipe.toClient.clear();
        pipe.connection = ++channel_.connections;
        channel_.changed.notify_all();
    }

    std::optional<std::uint32_t> ClientSession() override {
        std::lock_guard lock(channel_.mutex);
        return Instance().clientSession;
    }

private:
    SimPipeInstance& Instance() { return channel_.instances[index_]; }
    void Signal() {
        if (!holdsEvent_) return;
        channel_.eventSignalled = true;
        channel_.changed.notify_all();
    }

    SimServiceChannel& channel_;
    const std::size_t index_;
    bool holdsEvent_ = false;
};

class SimRequestServer final : public service::RequestServer {
public:
    explicit SimRequestServer(SimServiceChannel& channel) : channel_(channel) {
        std::lock_guard lock(channel_.mutex);
        channel_.instances.clear();
        Add();
    }

    ~SimRequestServer() override {
        std::lock_guard lock(channel_.mutex);
        for (SimPipeInstance& pipe : channel_.instances) {
            pipe.listening = false;
            pipe.connected = false;
            pipe.clientOpen = false;
            pipe.connection = ++channel_.connections;
        }
        channel_.changed.notify_all();
    }

    std::size_t Instances() override { return count_.load(); }

    bool AddInstance(std::uint32_t&) override {
        std::lock_guard lock(channel_.mutex);
        if (count_ >= connections_.size()) return false;
        Add();
        return true;
    }

    service::Wake WaitForClient(std::size_t index, std::uint32_t&,
                                std::optional<std::chrono::milliseconds> bound) override {
        Lock lock(channel_.mutex);
        SimPipeInstance& pipe = channel_.instances[index];
        if (channel_.stopRaised) return service::Wake::Stop;
        if (pipe.connected) return service::Wake::ClientConnected;
        pipe.listening = true;
        channel_.changed.notify_all();
        const auto woken = [&] { return pipe.connected || channel_.stopRaised; };
        if (!bound) {
            channel_.changed.wait(lock, woken);
        } else if (!channel_.changed.wait_for(lock, *bound, woken)) {
            pipe.listening = false;
            return service::Wake::TimedOut;
        }
        pipe.listening = false;
        return pipe.connected ? service::Wake::ClientConnected : service::Wake::Stop;
    }

    service::ServiceConnection& Client(std::size_t index) override { return *connections_[index]; }

private:
    // With the channel's lock held.
    void Add() {
        channel_.instances.emplace_back();
        connections_[count_] = std::make_unique<SimConnection>(channel_, count_);
        ++count_;
    }

    SimServiceChannel& channel_;
    std::array<std::unique_ptr<SimConnection>, service::PIPE_INSTANCE_CAP> connections_;
    std::atomic<std::size_t> count_{0};
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
    SimClientPipe(SimServiceChannel& channel, std::size_t index, std::uint64_t connection)
        : channel_(channel), index_(index), connection_(connection) {}

    ~SimClientPipe() override {
        std::lock_guard lock(channel_.mutex);
        if (Current()) Instance().clientOpen = false;
        channel_.changed.notify_all();
    }

    std::uint32_t ServerProcessId() override {
        std::lock_guard lock(channel_.mutex);
        return Current() ? channel_.serverProcessId : 0;
    }

    IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds) override {
        std::lock_guard lock(channel_.mutex);
        if (!Current()) return {IoStatus::Closed, 0};
        Instance().toService.insert(Instance().toService.end(), bytes.begin(), bytes.end());
        channel_.changed.notify_all();
        return {IoStatus::Done, bytes.size()};
    }

    IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override {
        Lock lock(channel_.mutex);
        channel_.changed.wait_for(lock, bound,
                                  [&] { return !Current() || !Instance().toClient.empty() || channel_.hung; });
        if (!Current()) return {IoStatus::Closed, 0};
        if (Instance().toClient.empty()) {
            ++channel_.abandonedReads;
            return {IoStatus::TimedOut, 0};
        }
        const std::size_t bytes = Take(Instance().toClient, into);
        channel_.changed.notify_all();
        return {IoStatus::Done, bytes};
    }

private:
    SimPipeInstance& Instance() { return channel_.instances[index_]; }
    bool Current() {
        return index_ < channel_.instances.size() && Instance().connected && Instance().connection == connection_;
    }

    SimServiceChannel& channel_;
    const std::size_t index_;
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
        : operations_(pc.platform()), machine_(machine), channel_(channel), pc_(pc) {
        // The installer registers the service, and so creates its key.
        pc.registry.CreateKey(RegistryRoot::LocalMachine, service::STOP_MARKS_KEY_PATH);
    }

    // A new process of the service: it knows of the stops only what its
    // last run kept in the registry.
    void StartProcess() {
        std::lock_guard lock(machine_);
        marks_ = std::make_unique<service::StopMarks>(operations_, operations_, pc_.registry);
    }

    int AddFilter() override {
        AwaitResume();
        std::lock_guard lock(machine_);
        return operations_.AddFilter();
    }
    int SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                  std::uint32_t checkDisks) override {
        AwaitResume();
        std::lock_guard lock(machine_);
        return marks_->SetStatus(bus, stateChange, linkEnable, checkDisks);
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
    // Through the marks, as the real service reads it.
    std::optional<StopVeto> LastVeto() override { return marks_->LastVeto(); }

private:
    // Outside the machine lock: the tool's own queries go on while the service hangs.
    void AwaitResume() {
        Lock lock(channel_.mutex);
        channel_.changed.wait(lock, [&] { return !channel_.hung || channel_.stopRaised; });
    }

    service::PlatformOperations operations_;
    std::mutex& machine_;
    SimServiceChannel& channel_;
    SimPc& pc_;
    std::unique_ptr<service::StopMarks> marks_;
};

class SimService::Transport final : public tool::ServiceTransport {
public:
    Transport(SimServiceChannel& channel, std::uint32_t session) : channel_(channel), session_(session) {}

    std::unique_ptr<tool::ServiceEvent> CreateOrOpenEvent() override {
        std::lock_guard lock(channel_.mutex);
        if (channel_.eventHandles++ == 0) channel_.eventSignalled = false;
        return std::make_unique<SimEvent>(channel_);
    }

    std::unique_ptr<tool::ServicePipe> OpenPipe() override {
        std::lock_guard lock(channel_.mutex);
        for (std::size_t index = 0; index < channel_.instances.size(); ++index) {
            SimPipeInstance& pipe = channel_.instances[index];
            if (!pipe.listening || pipe.connected) continue;
            pipe.connected = true;
            pipe.clientOpen = true;
            pipe.listening = false;
            pipe.toService.clear();
            pipe.toClient.clear();
            pipe.connection = ++channel_.connections;
            pipe.clientSession = session_;
            channel_.changed.notify_all();
            return std::make_unique<SimClientPipe>(channel_, index, pipe.connection);
        }
        return nullptr;
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
    const std::uint32_t session_;
};

SimService::SimService(SimPc& pc, std::mutex& machine, service::ExchangeLimits limits)
    : limits_(limits),
      reporter_(std::make_unique<Reporter>()),
      stop_(std::make_unique<StopFlag>(channel_)),
      factory_(std::make_unique<Factory>(channel_)),
      operations_(std::make_unique<LockedOperations>(pc, machine, channel_)) {}

SimService::~SimService() { Stop(); }

tool::ServiceTransport& SimService::transport() { return transport(1); }

tool::ServiceTransport& SimService::transport(std::uint32_t session) {
    std::lock_guard lock(transportsMutex_);
    std::unique_ptr<Transport>& transport = transports_[session];
    if (!transport) transport = std::make_unique<Transport>(channel_, session);
    return *transport;
}

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
    operations_->StartProcess();
    {
        // A new run counts its turns from 1 again.
        std::lock_guard exchangesLock(exchangesMutex_);
        runFirstExchange_ = exchanges_.size();
    }
    host_ = std::make_unique<service::ServiceHost>(*reporter_, *stop_, limits_);
    host_->ObserveExchanges([this](const service::ExchangeReport& report) {
        if (onExchange) onExchange(report);
        {
            // Listed in the order the service performed them, as one client
            // sees it: two clients' exchanges may end the other way round.
            std::lock_guard exchangesLock(exchangesMutex_);
            auto at = exchanges_.end();
            if (report.turn != 0) {
                while (at - exchanges_.begin() > static_cast<std::ptrdiff_t>(runFirstExchange_) &&
                       (at - 1)->turn > report.turn) {
                    --at;
                }
            }
            exchanges_.insert(at, report);
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
    return channel_.changed.wait_for(lock, bound, [&] { return channel_.AnyListening() || channel_.hung; });
}

bool SimService::WaitUntilAllRead(std::chrono::milliseconds bound) {
    std::unique_lock lock(channel_.mutex);
    return channel_.changed.wait_for(lock, bound, [&] {
        return std::all_of(channel_.instances.begin(), channel_.instances.end(),
                           [](const SimPipeInstance& pipe) { return pipe.toService.empty(); });
    });
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
