// The tray tool's surroundings on the simulated PC: the shell's notification
// area, popup menus, message boxes, the main window's thread, the system
// information, the settings dialog and the application host. Every fake
// records what the tool did in a form a test can assert and the simulator
// can print (SimToolLog).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/machine/sim_pc.h"
#include "sim/tool/sim_resources.h"
#include "tool/core/main_window.h"
#include "tool/core/ports/app_host.h"

namespace qn38::sim {

// What the tool showed and did, one line per event, in order.
class SimToolLog {
public:
    void Add(std::string line);
    std::vector<std::string> Lines() const;
    // Called for every line as it is added (from whichever thread added it).
    std::function<void(const std::string&)> onLine;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The library's queries on the simulated PC. The PC is not thread-safe, and
// the tool's two threads and the service thread all use it: every query holds
// the machine lock.
class SimSlotQueries final : public tool::SlotQueries {
public:
    SimSlotQueries(SimPc& pc, std::mutex& machine) : pc_(pc), machine_(machine) {}

    int GetStatus(std::uint32_t bus, std::uint32_t* present) override;
    int GetCardInfo(std::uint32_t bus, char16_t* description, std::uint32_t descriptionBytes, std::uint32_t* status,
                    std::uint32_t* problem) override;
    int DoesExistNoFilterRootPort() override;

    std::atomic<std::uint64_t> statusQueries{0};
    std::atomic<std::uint64_t> cardQueries{0};
    std::atomic<std::uint64_t> filterQueries{0};
    // The next GetStatus calls fail as if the dump device were held by someone else.
    std::atomic<int> failStatusReads{0};
    // Called after each GetCardInfo has been answered, on the calling thread
    // (set it while the tool is idle).
    std::function<void()> afterCardQuery;

private:
    SimPc& pc_;
    std::mutex& machine_;
};

struct TrayCall {
    tool::TrayAction action = tool::TrayAction::Add;
    tool::NotifyIconRecord record;
    bool accepted = false;
};

// The notification area: one icon per (window, uID); a modify or delete of an
// icon that is not there fails, as Shell_NotifyIconW does.
class SimShell final : public tool::TrayShell {
public:
    explicit SimShell(SimToolLog& log) : log_(log) {}

    bool NotifyIcon(tool::TrayAction action, const tool::NotifyIconRecord& record) override;

    std::vector<TrayCall> Calls() const;
    // Accepted calls that carried a balloon text.
    std::vector<tool::NotifyIconRecord> Balloons() const;
    bool IconShown() const;
    tool::NotifyIconRecord Current() const;
    // The version NIM_SETVERSION set for the icon there now (0: the oldest behaviour).
    std::uint32_t Version() const;
    // The next `count` calls fail (the shell is not up yet, or restarting).
    void FailNext(int count);
    // No notification area (Explorer not started yet, or crashed): every
    // call fails, and the icons it held are gone.
    void SetAbsent(bool absent);
    // Explorer restarts: a new, empty notification area. The broadcast that
    // tells the programs so is the caller's (SimTrayTool::TaskbarCreated).
    void Restart();

private:
    static tool::NotifyIconRecord Modified(const tool::NotifyIconRecord& shown, const tool::NotifyIconRecord& record);

    SimToolLog& log_;
    mutable std::mutex mutex_;
    std::vector<TrayCall> calls_;
    bool shown_ = false;
    tool::NotifyIconRecord current_;
    std::uint32_t version_ = 0;
    int failures_ = 0;
    bool absent_ = false;
};

class SimWindow;

struct ShownMenu {
    bool mainMenu = false;  // the resource menu's popup, else the stop menu
    tool::MenuOpening opening = tool::MenuOpening::AtCursor;
    std::vector<tool::MenuItem> items;
    std::uint32_t chosen = 0;  // 0: dismissed
};

// Popup menus: the user's next picks are scripted; a pick is posted to the
// window as a command, to arrive when the window's thread next handles messages.
class SimMenus final : public tool::PopupMenus {
public:
    SimMenus(SimToolLog& log, SimWindow& window, std::vector<RcMenuItem> mainMenu)
        : log_(log), window_(window), mainMenu_(std::move(mainMenu)) {}

    void TrackItems(const std::vector<tool::MenuItem>& items, tool::MenuOpening opening) override;
    void TrackMainMenu(tool::MenuOpening opening) override;

    // The command picked from each of the next menus; 0 dismisses one. A
    // command that the menu does not hold dismisses it too.
    void Choose(std::uint32_t command) { choices_.push_back(command); }
    const std::vector<ShownMenu>& Shown() const { return shown_; }

private:
    void Track(bool mainMenu, std::vector<tool::MenuItem> items, tool::MenuOpening opening);

    SimToolLog& log_;
    SimWindow& window_;
    std::vector<RcMenuItem> mainMenu_;
    std::deque<std::uint32_t> choices_;
    std::vector<ShownMenu> shown_;
};

struct ShownMessageBox {
    std::uint32_t stringId = 0;
    std::uint32_t style = 0;
    std::u16string text;
    std::u16string caption;
    int answer = 0;
};

// Message boxes with scripted answers. Unscripted, the user takes the safe
// button: No in a Yes/No box, else OK.
class SimMessageBoxes final : public tool::MessageBoxes {
public:
    SimMessageBoxes(SimToolLog& log, tool::StringTable& strings) : log_(log), strings_(strings) {}

    int Show(std::uint32_t stringId, std::uint32_t style) override;

    void Answer(int answer) { answers_.push_back(answer); }
    // Runs while the box is open (its modal loop serves the window meanwhile).
    std::function<void(const ShownMessageBox&)> whileOpen;
    const std::vector<ShownMessageBox>& Shown() const { return shown_; }

private:
    SimToolLog& log_;
    tool::StringTable& strings_;
    std::deque<int> answers_;
    std::vector<ShownMessageBox> shown_;
};

// The string table of the tool's resource script in one language.
class SimStrings final : public tool::StringTable {
public:
    explicit SimStrings(RcResources resources) : resources_(std::move(resources)) {}
    std::u16string Load(std::uint32_t id) override { return resources_.String(id).value_or(u""); }
    const RcResources& resources() const { return resources_; }

private:
    RcResources resources_;
};

// The main window and the thread it belongs to. The test's thread plays the
// window's thread: messages sent from other threads wait until it handles
// messages (Pump, or a wait that serves the window), exactly like a
// SendMessageW across threads. A flow's worker runs on a thread of its own,
// as on Windows; Pump waits for every flow's end message too, so that a
// scenario's next step finds the flow done.
class SimWindow final : public tool::MainWindow, public tool::Threads {
public:
    explicit SimWindow(SimToolLog& log) : log_(log) {}
    ~SimWindow() override;

    // The dialog whose handlers receive the messages; the calling thread
    // becomes the window's thread.
    void Attach(tool::CAboutDlg& dialog);
    // The window is destroyed: pending and later sends return unhandled.
    void Detach();

    // Handles every message sent or posted so far, and those of the flows
    // still running, until none runs (unless awaitFlows is off); returns how many.
    int Pump();
    // Off: Pump handles only what is there, and a test watches the window
    // answer while a flow waits.
    std::atomic<bool> awaitFlows{true};
    // Whether the calling thread is the poller's.
    bool OnPollerThread() const;
    // Pumps until `done` holds; false after `timeout`.
    bool PumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    void PostCommand(std::uint32_t command);
    // Threads blocked in a send to this window right now.
    int BlockedSenders() const;

    bool Visible() const { return visible_; }
    // The framework showing the dialog once it is initialised.
    void ShowAsModalDialogDoes();
    std::optional<int> EndedWith() const { return ended_; }
    std::u16string ItemText(std::uint32_t controlId) const;
    std::uint32_t Icons() const { return icons_; }
    int ForegroundRequests() const { return foreground_; }

    // tool::MainWindow
    void Show(bool visible) override;
    void SetForeground() override { ++foreground_; }
    void EndDialog(int result) override;
    void SetItemText(std::uint32_t controlId, std::u16string_view text) override;
    void SetIcons(std::uint32_t iconId) override { icons_ = iconId; }
    void SendTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) override;
    void PostTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) override;

    // tool::Threads
    std::unique_ptr<tool::WorkerThread> Begin(std::function<void()> body) override;
    std::unique_ptr<tool::WorkerThread> BeginFlow(std::function<void()> body) override;

private:
    struct Sent {
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
        bool done = false;
    };
    // A menu's command, or a WM_TRAY_NOTIFY posted by a worker.
    struct Posted {
        std::uint32_t command = 0;
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
    };
    class Worker;

    bool OnWindowThread() const { return std::this_thread::get_id() == windowThread_; }
    // Handles one pending message; false when there was none.
    bool HandleOne(std::unique_lock<std::mutex>& lock);

    SimToolLog& log_;
    tool::CAboutDlg* dialog_ = nullptr;
    std::thread::id windowThread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Sent>> sent_;
    std::deque<Posted> posted_;
    int blockedSenders_ = 0;
    int flowsRunning_ = 0;
    std::thread::id pollerThread_;
    bool attached_ = false;
    bool visible_ = false;
    std::optional<int> ended_;
    std::map<std::uint32_t, std::u16string> items_;
    std::uint32_t icons_ = 0;
    int foreground_ = 0;
};

// Lets the poller make its passes one at a time: each of its 300 ms sleeps
// waits until the test releases it.
class PollGate {
public:
    void Arrive();
    void Release();
    // Every sleep returns at once from now on (the simulator, or the end of a test).
    void Open();
    std::uint64_t Arrivals() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t arrivals_ = 0;
    std::uint64_t released_ = 0;
    bool open_ = false;
};

class SimSystem final : public tool::SystemInfo {
public:
    tool::OsVersion version{6, 1, 7601, u"Service Pack 1"};
    std::optional<std::uint16_t> architecture = tool::CPU_ARCHITECTURE_X64;
    std::optional<std::u16string> fileVersion = u"1, 5, 23, 0";
    std::atomic<bool> resumeAutomatic{false};
    // Real-time sleeps (the simulator); tests keep time still and gate the poller.
    bool realTime = false;
    PollGate pollGate;

    tool::OsVersion GetVersion() override { return version; }
    std::optional<std::uint16_t> NativeProcessorArchitecture() override { return architecture; }
    std::optional<std::u16string> FileVersion() override { return fileVersion; }
    bool IsSystemResumeAutomatic() override { return resumeAutomatic; }
    void Sleep(std::uint32_t milliseconds) override;
    void EnableShutdownPrivilege() override { shutdownPrivilege = true; }
    void ExitWindowsReboot() override { rebootRequested = shutdownPrivilege ? 1 : -1; }
    // The simulated process goes on; a test sees that it would have ended.
    void EndProcess() override { processEnded = true; }
    std::atomic<bool> processEnded{false};

    // Sleeps other than the poller's, in order.
    std::vector<std::uint32_t> Sleeps() const;
    // Called for each of those, on the sleeping thread: the machine's time passes.
    std::function<void(std::uint32_t milliseconds)> onSleep;
    std::atomic<bool> shutdownPrivilege{false};
    // 0: no restart asked; 1: asked with the privilege enabled; -1: without it.
    std::atomic<int> rebootRequested{0};

private:
    mutable std::mutex mutex_;
    std::vector<std::uint32_t> sleeps_;
};

class SimSettingsDialogs;

class SimSettingsDialog final : public tool::SettingsDialog {
public:
    SimSettingsDialog(SimSettingsDialogs& owner, int number) : owner_(owner), number_(number) {}
    int DoModal() override;
    void EndDialog(int result) override;
    int number() const { return number_; }

private:
    SimSettingsDialogs& owner_;
    int number_;
    std::optional<int> ended_;
};

// The settings dialog's seam: what the user does while it is open is scripted.
class SimSettingsDialogs final : public tool::SettingsDialogs {
public:
    explicit SimSettingsDialogs(SimToolLog& log) : log_(log) {}
    std::unique_ptr<tool::SettingsDialog> Create() override;

    // Runs inside each DoModal; without it the user closes the dialog with OK.
    std::function<void(SimSettingsDialog&)> whileOpen;
    int Opened() const { return opened_; }
    // (dialog number, result) of every EndDialog, in order.
    std::vector<std::pair<int, int>> endings;

private:
    friend class SimSettingsDialog;
    SimToolLog& log_;
    int opened_ = 0;
};

// Named mutexes and window classes of one simulated desktop session, shared
// by every tool instance started in it.
struct SimDesktop {
    std::set<std::u16string> mutexes;
    std::set<std::u16string> windowClasses;
};

class SimAppHost final : public tool::AppHost {
public:
    explicit SimAppHost(SimDesktop& desktop) : desktop_(desktop) {}
    ~SimAppHost() override;  // the process ends: its mutex goes

    void InitCommonControls() override { commonControls = true; }
    bool CreateSingleInstanceMutex(std::u16string_view name) override;
    void RegisterDialogClass(std::u16string_view baseClass, std::u16string_view name) override;
    int RunMainDialog() override;
    void RegisterForRestart() override { registeredForRestart = true; }

    bool commonControls = false;
    bool registeredForRestart = false;
    int dialogsRun = 0;
    // Constructs and runs the main dialog (the test's or the simulator's tool).
    std::function<int()> runMainDialog;

private:
    SimDesktop& desktop_;
    std::optional<std::u16string> mutex_;
};

}  // namespace qn38::sim
