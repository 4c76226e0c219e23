#include "sim/tool/sim_tray_tool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tool/core/tool_ids.h"
#include "tool/res/resource.h"

namespace qn38::sim {
namespace {

SimStrings LoadStrings(std::uint16_t language) {
    auto resources = RcResources::LoadToolResources(language);
    return SimStrings(resources ? std::move(*resources) : RcResources());
}

}  // namespace

std::string DescribeRequest(const ServiceRequest& request) {
    const auto result = static_cast<std::int32_t>(request.result);
    char text[320];
    switch (request.command) {
    case CMD_ADD_FILTER:
        std::snprintf(text, sizeof text, "AddFilter=%d", result);
        break;
    case CMD_SET_STATUS:
        std::snprintf(text, sizeof text, "SetStatus(0x%02x,%u,%u,%u)=%d", request.bus, request.stateChange,
                      request.linkEnable, request.checkDisks, result);
        break;
    case CMD_SET_SIZE:
        std::snprintf(text, sizeof text, "SetSize(0x%08x,0x%08x,0x%08x)=%d", request.defLen, request.startAdrs,
                      request.endAdrs, result);
        break;
    case CMD_WRITE_LOG: {
        // Line breaks shown as \r and \n keep one request on one line.
        std::string logged;
        for (std::size_t i = 0; i < sizeof request.text && request.text[i] != 0; ++i) {
            const char c = request.text[i];
            logged += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
        }
        return "WriteLog(" + logged + ")";
    }
    default:
        std::snprintf(text, sizeof text, "command %u", request.command);
    }
    return text;
}

class ObservedTransport::Pipe final : public tool::ServicePipe {
public:
    Pipe(ObservedTransport& owner, std::unique_ptr<tool::ServicePipe> inner)
        : owner_(owner), inner_(std::move(inner)) {}

    std::uint32_t ServerProcessId() override { return inner_->ServerProcessId(); }
    tool::IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds bound) override {
        return inner_->Write(bytes, bound);
    }
    tool::IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override {
        const tool::IoResult read = inner_->Read(into, bound);
        if (read.bytes == sizeof(ServiceRequest)) {
            ServiceRequest reply;
            std::memcpy(&reply, into.data(), sizeof reply);
            owner_.Replied(reply);
        }
        return read;
    }

private:
    ObservedTransport& owner_;
    std::unique_ptr<tool::ServicePipe> inner_;
};

std::unique_ptr<tool::ServicePipe> ObservedTransport::OpenPipe() {
    auto pipe = inner_.OpenPipe();
    if (!pipe) return nullptr;
    return std::make_unique<Pipe>(*this, std::move(pipe));
}

void ObservedTransport::Replied(const ServiceRequest& reply) {
    {
        std::lock_guard lock(mutex_);
        replies_.push_back(reply);
    }
    log_.Add("service: " + DescribeRequest(reply));
}

std::vector<ServiceRequest> ObservedTransport::Replies() const {
    std::lock_guard lock(mutex_);
    return replies_;
}

std::unique_ptr<DeviceHandle> WatchedDrives::Open(std::u16string_view path, const OpenRequest& request) {
    std::lock_guard lock(machine_);
    return pc_.io.Open(path, request);
}

std::uint32_t WatchedDrives::LogicalDrives() {
    std::lock_guard lock(machine_);
    return pc_.io.LogicalDrives();
}

std::optional<std::uint64_t> WatchedDrives::TotalBytes(std::u16string_view root) {
    {
        std::lock_guard lock(mutex_);
        asked_.emplace_back(root);
    }
    std::lock_guard lock(machine_);
    return pc_.io.TotalBytes(root);
}

bool WatchedDrives::IsRemoteDrive(std::u16string_view root) {
    std::lock_guard lock(machine_);
    return pc_.io.IsRemoteDrive(root);
}

std::optional<std::vector<std::u16string>> WatchedDrives::VolumeNames() {
    std::lock_guard lock(machine_);
    return pc_.io.VolumeNames();
}

std::vector<std::u16string> WatchedDrives::Asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
}

namespace {

std::unique_ptr<SimSharedPc> Alone(SimPc& pc, SimSharedPc*& shared) {
    auto own = std::make_unique<SimSharedPc>(pc);
    shared = own.get();
    return own;
}

}  // namespace

SimTrayTool::SimTrayTool(SimPc& pc, std::uint16_t language) : SimTrayTool(nullptr, pc, language) {}

SimTrayTool::SimTrayTool(SimSharedPc& shared, std::uint16_t language) : SimTrayTool(&shared, shared.pc, language) {}

SimTrayTool::SimTrayTool(SimSharedPc* given, SimPc& machinePc, std::uint16_t language)
    : ownShared_(given == nullptr ? Alone(machinePc, given) : nullptr),
      shared(*given),
      pc(machinePc),
      machine(shared.machine),
      service(shared.service),
      transport(service.transport(), log),
      pause(service),
      client(transport, pause, pc.text),
      slots(pc, machine),
      drives(pc, machine),
      shell(log),
      strings(LoadStrings(language)),
      window(log),
      menus(log, window, strings.resources().FirstPopup(IDR_TRAY_MENU)),
      messages(log, strings),
      settings(log),
      ports_{slots,  client, shell,  strings, menus,    messages,
             window, window, system, drives,  settings, shared.slotLock} {
    // The tool's own pauses are time the machine lives through too.
    system.onSleep = [this](std::uint32_t milliseconds) { OnMachine([&] { this->pc.clock.Advance(milliseconds); }); };
}

SimTrayTool::~SimTrayTool() {
    if (dialog_ && !destroyed_) Destroy();
    dialog_.reset();
}

bool SimTrayTool::Start() {
    dialog_ = std::make_unique<tool::CAboutDlg>(ports_);
    sessionEnd_ = std::make_unique<tool::SessionEnd>(*dialog_);
    window.Attach(*dialog_);
    // Windows broadcasts only to windows that exist: what came before is the
    // start-up's to find.
    OnMachine([&] { treeChangesSeen_ = pc.devices.TreeChanges(); });
    const bool result = dialog_->OnInitDialog();
    window.ShowAsModalDialogDoes();
    return result;
}

void SimTrayTool::Destroy() {
    if (!dialog_ || destroyed_) return;
    destroyed_ = true;
    // Time runs on while the window ends: the poller's sleeps no longer wait for the test.
    system.pollGate.Open();
    sessionEnd_->OnDestroy();
    window.Detach();
}

void SimTrayTool::Exit() {
    dialog_->OnExit();
    if (window.EndedWith()) Destroy();
}

bool SimTrayTool::QueryEndSession() { return sessionEnd_->OnQueryEndSession(); }

void SimTrayTool::EndSession(bool ending) {
    if (ending) system.pollGate.Open();
    sessionEnd_->OnEndSession(ending);
    if (window.EndedWith()) Destroy();
}

bool SimTrayTool::AwaitPollerAtRest() {
    return window.PumpUntil([&] { return system.pollGate.Arrivals() >= 1; });
}

bool SimTrayTool::RunPollerPasses(int count) {
    for (int pass = 0; pass < count; ++pass) {
        BroadcastDeviceChanges();
        const auto before = system.pollGate.Arrivals();
        system.pollGate.Release();
        if (!window.PumpUntil([&] { return system.pollGate.Arrivals() > before; })) return false;
    }
    return true;
}

namespace {

constexpr std::intptr_t WM_LBUTTONUP_MESSAGE = 0x202;
constexpr std::intptr_t WM_RBUTTONUP_MESSAGE = 0x205;

}  // namespace

void SimTrayTool::Notify(std::initializer_list<std::intptr_t> messages) {
    const bool versionThree = shell.Version() >= tool::NOTIFY_ICON_VERSION;
    for (const std::intptr_t message : messages) {
        const bool newer = message == tool::NIN_SELECT_MESSAGE || message == tool::NIN_KEYSELECT_MESSAGE ||
                           message == tool::WM_CONTEXTMENU_MESSAGE;
        // The oldest behaviour reports the keyboard as a right click.
        if (newer && !versionThree) {
            if (message == tool::WM_CONTEXTMENU_MESSAGE || message == tool::NIN_KEYSELECT_MESSAGE) {
                dialog_->OnTrayNotify(tool::TRAY_ICON_ID, tool::WM_RBUTTONDOWN_MESSAGE);
                dialog_->OnTrayNotify(tool::TRAY_ICON_ID, WM_RBUTTONUP_MESSAGE);
            }
            continue;
        }
        dialog_->OnTrayNotify(tool::TRAY_ICON_ID, message);
    }
    window.Pump();
}

void SimTrayTool::LeftClick() {
    Notify({tool::WM_LBUTTONDOWN_MESSAGE, WM_LBUTTONUP_MESSAGE, tool::NIN_SELECT_MESSAGE});
}

void SimTrayTool::RightClick() {
    Notify({tool::WM_RBUTTONDOWN_MESSAGE, WM_RBUTTONUP_MESSAGE, tool::WM_CONTEXTMENU_MESSAGE});
}

void SimTrayTool::KeySelect() { Notify({tool::NIN_KEYSELECT_MESSAGE}); }

void SimTrayTool::KeyContextMenu() { Notify({tool::WM_CONTEXTMENU_MESSAGE}); }

void SimTrayTool::BroadcastDeviceChanges() {
    std::uint64_t changes = 0;
    OnMachine([&] { changes = pc.devices.TreeChanges(); });
    if (changes == treeChangesSeen_ || !dialog_ || destroyed_) return;
    treeChangesSeen_ = changes;
    DeviceChange();
}

void SimTrayTool::DeviceChange() {
    // DBT_DEVNODES_CHANGED: what Windows broadcasts after a devnode comes or goes.
    dialog_->OnDeviceChange(0x0007, 0);
    window.Pump();
}

void SimTrayTool::PowerBroadcast(std::uintptr_t wParam, std::intptr_t lParam) {
    dialog_->OnPowerBroadcast(wParam, lParam);
}

void SimTrayTool::TaskbarCreated() {
    dialog_->OnTaskbarCreated();
    window.Pump();
}

void SimTrayTool::OnMachine(const std::function<void()>& change) {
    std::lock_guard lock(machine);
    change();
}

std::vector<std::string> SimTrayTool::ServiceRequests() {
    std::vector<std::string> requests;
    for (const auto& reply : transport.Replies()) requests.push_back(DescribeRequest(reply));
    return requests;
}

std::vector<std::string> SimTrayTool::ServiceRequests(std::string_view prefix) {
    std::vector<std::string> matching;
    for (auto& request : ServiceRequests()) {
        if (request.starts_with(prefix)) matching.push_back(std::move(request));
    }
    return matching;
}

namespace {

template <typename Item>
std::vector<Item> After(std::vector<Item> all, std::size_t mark) {
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())));
    return all;
}

}  // namespace

ToolMarks SimTrayTool::Mark() { return {shell.Balloons().size(), messages.Shown().size(), ServiceRequests().size()}; }

std::vector<tool::NotifyIconRecord> SimTrayTool::BalloonsSince(const ToolMarks& mark) {
    return After(shell.Balloons(), mark.balloons);
}

std::vector<ShownMessageBox> SimTrayTool::MessagesSince(const ToolMarks& mark) {
    return After(messages.Shown(), mark.messages);
}

std::vector<std::string> SimTrayTool::RequestsSince(const ToolMarks& mark) {
    return After(ServiceRequests(), mark.requests);
}

}  // namespace qn38::sim
