// The whole system on the simulated PC, driven by scenario commands: the
// service's request server on its own thread behind the simulated pipe, the
// tray tool's logic with its poller thread, the machine's cards, files and
// volumes, and the real QN38.LOG in a working folder. What the tray shows is
// written as it happens; expectations that do not hold are kept, with the
// step and the line they belong to, and decide the run's exit status.
#pragma once

#include <functional>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/simulator/console_view.h"
#include "sim/simulator/log_folder.h"
#include "sim/simulator/scenario.h"
#include "sim/machine/sim_pc.h"
#include "sim/tool/sim_tray_tool.h"

namespace qn38::sim {

struct SimulatorOptions {
    std::uint16_t language = RC_LANGUAGE_ENGLISH;
    std::filesystem::path workdir;  // where QN38.LOG is written
    bool keepLog = false;           // go on with the log an earlier run left there
    bool verbose = false;
};

struct StepFailure {
    int step = 0;  // 0: before the first step
    std::string title;
    int line = 0;
    std::string message;
};

class Simulator {
public:
    // Builds the machine and starts the service; throws std::runtime_error
    // when the working folder cannot be used.
    Simulator(const SimulatorOptions& options, std::ostream& out);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Runs one command; false when it ends the run (quit).
    bool Execute(const Command& command);
    // Runs the commands in order, up to a quit; false when a quit ended them.
    bool Play(const std::vector<Command>& commands);
    // Closes the tool if it still runs, writes the result, and returns the
    // exit status: 0 when every step behaved as expected, else 1.
    int Finish();

    const std::vector<StepFailure>& failures() const { return failures_; }
    std::filesystem::path LogPath() const { return logFolder_.LogPath(); }

private:
    enum class ToolState { NotStarted, Running, Ended };

    // One logged-on user's tool, with its view of that user's tray and what
    // the current step has looked at of it so far.
    struct Session {
        Session(SimSharedPc& shared, const SimulatorOptions& options, std::ostream& out, int user);
        SimTrayTool tool;
        ConsoleView view;
        ToolState state = ToolState::NotStarted;
        // Where the current step began, or its last match.
        ToolMarks seen;
    };
    Session& Current() { return *sessions_.at(current_); }
    SimTrayTool& tool() { return Current().tool; }
    Session& AddSession(int user);
    void SwitchSession(const Command& command);
    void FailScan(const Command& command);
    void DeferDisable();
    void RestartShell(bool absentBefore);
    void ChangeService(const Command& command);
    void Click(const Command& command);
    void CloseAbout(const Command& command);
    void ExpectNoBalloon(const Command& command);
    void ExpectCard(const Command& command);
    void ExpectLink(const Command& command);
    void ExpectRestart(const Command& command);

    void Run(const Command& command);
    void Fail(const Command& command, const std::string& message);
    void BeginStep(const Command& command);
    void AdvanceClock(std::uint64_t milliseconds);

    bool Running(const Command& command);
    SimSlot* Slot(const Command& command, std::uint8_t bus);
    std::optional<std::uint32_t> MenuCommand(const Command& command, const MenuPick& pick);
    void AfterClick();
    // Every user's menus that opened since the last call.
    void FlushMenus();

    void AddSlot(const Command& command);
    void SetDriverKey(const Command& command);
    void FailRead(const Command& command);
    void StartTool(const Command& command);
    void Insert(const Command& command);
    void Pull(const Command& command);
    void Eject(const Command& command);
    // The volume a command names, changed on the machine: `change` returns
    // why it cannot be, or nothing; `done` begins the event's text.
    void ChangeVolume(const Command& command, const std::function<std::string(SimVolume&, const std::string&)>& change,
                      const std::string& done);
    void ChangeFile(const Command& command, bool open);
    void ChangeDeviceHandle(const Command& command, bool open);
    void Browse(const Command& command);
    void ChangeVolumeLock(const Command& command, bool lock);
    void BreakCardDisk(const Command& command);
    static std::string VolumeName(const CardVolume& volume);
    std::string MountPointProblem(const CardVolume& volume);
    SimVolume* FileVolume(const Command& command);
    void AddNetworkDrive(const Command& command);
    void PickFromMenu(const Command& command);
    void RunSettings(const Command& command);
    void Wait(const Command& command);
    void SendRequest(const Command& command);
    void Broadcast(std::uintptr_t wParam);
    void Suspend();
    void Resume(const Command& command);
    void ShowLog(const Command& command);

    void ExpectBalloon(const Command& command);
    void ExpectIcon(const Command& command);
    void ExpectMessage(const Command& command);
    void ExpectRequest(const Command& command);
    void ExpectLog(const Command& command);

    // The settings dialog while it is open: what the user does in it.
    void OperateSettings(SimSettingsDialog& opened);

    SimulatorOptions options_;
    std::ostream& out_;
    SimPc pc_;
    SimFiles toolFiles_;  // the tool's own path, for the Run value
    LogFolder logFolder_;
    SimSharedPc shared_;
    std::map<int, std::unique_ptr<Session>> sessions_;
    int current_ = 1;
    // Between sleep and wake: no poller makes a pass.
    bool asleep_ = false;
    // The first user's view, which writes the run's own lines as well.
    ConsoleView& view_;

    std::optional<SettingsInput> settingsInput_;
    bool driverRemoved_ = false;  // driver-key no-driver: slots come without the driver's key

    int step_ = 0;
    std::string stepTitle_;
    std::vector<StepFailure> failures_;
};

}  // namespace qn38::sim
