// The tray tool running on the simulated PC: its main window's logic with the
// real service (dispatcher and exchange) behind the simulated pipe, and the
// fakes of sim_tool.h around it. Tests and the simulator drive it like a
// user and a machine would: start, click, insert and pull cards, exit.
#pragma once

#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tool/core/service_client.h"
#include "tool/core/session_end.h"
#include "sim/machine/sim_pc.h"
#include "sim/service/sim_service.h"
#include "sim/tool/sim_shared_pc.h"
#include "sim/tool/sim_tool.h"

namespace qn38::sim {

// The tool's way to the simulated service, watched from the tool's side: each
// reply the tool reads is logged on the thread that asked, in the order the
// tool saw it.
class ObservedTransport final : public tool::ServiceTransport {
public:
    ObservedTransport(tool::ServiceTransport& inner, SimToolLog& log) : inner_(inner), log_(log) {}

    std::unique_ptr<tool::ServiceEvent> CreateOrOpenEvent() override { return inner_.CreateOrOpenEvent(); }
    std::unique_ptr<tool::ServicePipe> OpenPipe() override;
    std::uint32_t ServiceProcessId() override { return inner_.ServiceProcessId(); }
    std::unique_ptr<tool::ProcessHold> HoldProcess(std::uint32_t processId) override {
        return inner_.HoldProcess(processId);
    }

    // The replies read so far, in order.
    std::vector<ServiceRequest> Replies() const;

private:
    class Pipe;
    void Replied(const ServiceRequest& reply);

    tool::ServiceTransport& inner_;
    SimToolLog& log_;
    mutable std::mutex mutex_;
    std::vector<ServiceRequest> replies_;
};

// The drives as the tool sees them: the simulated PC's, with every size query
// recorded.
class WatchedDrives final : public DeviceIo {
public:
    explicit WatchedDrives(SimPc& pc, std::mutex& machine) : pc_(pc), machine_(machine) {}

    std::unique_ptr<DeviceHandle> Open(std::u16string_view path, const OpenRequest& request) override;
    std::uint32_t LogicalDrives() override;
    std::optional<std::uint64_t> TotalBytes(std::u16string_view root) override;
    bool IsRemoteDrive(std::u16string_view root) override;
    std::optional<std::vector<std::u16string>> VolumeNames() override;

    std::vector<std::u16string> Asked() const;

private:
    SimPc& pc_;
    std::mutex& machine_;
    mutable std::mutex mutex_;
    std::vector<std::u16string> asked_;
};

// How far a tool's records had gone at one moment. A simulator step's
// expectations and a test's look at one action both read what came after.
struct ToolMarks {
    std::size_t balloons = 0;
    std::size_t messages = 0;
    std::size_t requests = 0;
};

class SimTrayTool {
    // Declared first: a tool alone on its PC owns what it would share, and
    // that must outlive everything below.
    std::unique_ptr<SimSharedPc> ownShared_;

public:
    // The only tool on its PC, with a service of its own.
    explicit SimTrayTool(SimPc& pc, std::uint16_t language = RC_LANGUAGE_ENGLISH);
    // One logged-on user's tool beside others on `shared`.
    explicit SimTrayTool(SimSharedPc& shared, std::uint16_t language = RC_LANGUAGE_ENGLISH);
    ~SimTrayTool();
    SimTrayTool(const SimTrayTool&) = delete;
    SimTrayTool& operator=(const SimTrayTool&) = delete;

    // Creates the main window and runs its start-up sequence; the framework
    // then tries to show the dialog. Returns OnInitDialog's result.
    bool Start();
    // The window is destroyed (after the Exit command, or as Windows ends the session).
    void Destroy();
    // Exit from the tray menu: the dialog ends and its window is destroyed.
    void Exit();
    // WM_QUERYENDSESSION and WM_ENDSESSION, as a log-off, a shutdown or
    // Restart Manager sends them; a window that ended is then destroyed.
    bool QueryEndSession();
    void EndSession(bool ending);

    // Waits (serving the window) until the poller has finished its first pass.
    bool AwaitPollerAtRest();
    // Lets the poller make `count` more passes, serving the window meanwhile.
    bool RunPollerPasses(int count);

    // The user clicks the tray icon; a command picked from the menu is handled
    // too. Each click sends what the notification area sends for it: the
    // button-down, the button-up and, once version 3 was asked for, NIN_SELECT
    // or WM_CONTEXTMENU.
    void LeftClick();
    void RightClick();
    // The user reaches the icon with Win+B and presses Enter or Space
    // (NIN_KEYSELECT), or Shift+F10 or the menu key (WM_CONTEXTMENU).
    void KeySelect();
    void KeyContextMenu();
    // Broadcasts the system sends to the window.
    void DeviceChange();
    // The broadcast Windows sends after devnodes came or went, once for all
    // that changed since the last; passes run only after it.
    void BroadcastDeviceChanges();
    void PowerBroadcast(std::uintptr_t wParam, std::intptr_t lParam);
    // The shell's "TaskbarCreated" broadcast.
    void TaskbarCreated();

    // Changes the simulated machine (a card in or out, a file opened) while
    // no other thread uses it.
    void OnMachine(const std::function<void()>& change);

    // Every request the service performed, in order, as
    // "SetStatus(0x05,0,1,0)=1", "WriteLog(LinkEnable(Bus0x05))", "AddFilter=1"
    // (line breaks in a log text as \r and \n).
    std::vector<std::string> ServiceRequests();
    // Of those, the requests matching a prefix ("SetStatus", "WriteLog(LinkEnable").
    std::vector<std::string> ServiceRequests(std::string_view prefix);

    ToolMarks Mark();
    std::vector<tool::NotifyIconRecord> BalloonsSince(const ToolMarks& mark);
    std::vector<ShownMessageBox> MessagesSince(const ToolMarks& mark);
    std::vector<std::string> RequestsSince(const ToolMarks& mark);

    tool::CAboutDlg& dialog() { return *dialog_; }
    tool::ToolPorts& ports() { return ports_; }

    SimSharedPc& shared;
    SimPc& pc;
    std::mutex& machine;
    SimService& service;
    SimToolLog log;
    ObservedTransport transport;
    SimServicePause pause;
    tool::ServiceClient client;
    SimSlotQueries slots;
    WatchedDrives drives;
    SimShell shell;
    SimStrings strings;
    SimWindow window;
    SimMenus menus;
    SimMessageBoxes messages;
    SimSystem system;
    SimSettingsDialogs settings;

private:
    // The icon's callback messages, as the shell's version for it sends them.
    void Notify(std::initializer_list<std::intptr_t> messages);
    // `shared` null: the tool makes its own.
    SimTrayTool(SimSharedPc* shared, SimPc& pc, std::uint16_t language);

    tool::ToolPorts ports_;
    std::unique_ptr<tool::CAboutDlg> dialog_;
    std::unique_ptr<tool::SessionEnd> sessionEnd_;
    bool destroyed_ = false;
    std::uint64_t treeChangesSeen_ = 0;
};

// A request record as SimTrayTool::ServiceRequests renders it.
std::string DescribeRequest(const ServiceRequest& request);

}  // namespace qn38::sim
