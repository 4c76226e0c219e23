// The whole system on the simulated PC, driven by scenario commands: the
// service's request server on its own thread behind the simulated pipe, the
// tray tool's logic with its poller thread, the machine's cards, files and
// volumes, and the real QN38.LOG in a working folder. What the tray shows is
// written as it happens; expectations that do not hold are kept, with the
// step and the line they belong to, and decide the run's exit status.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "console_view.h"
#include "log_folder.h"
#include "scenario.h"
#include "sim_pc.h"
#include "sim_tray_tool.h"

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

    void Run(const Command& command);
    void Fail(const Command& command, const std::string& message);
    void BeginStep(const Command& command);
    void AdvanceClock(std::uint64_t milliseconds);

    bool Running(const Command& command);
    SimSlot* Slot(const Command& command, std::uint8_t bus);
    std::optional<std::uint32_t> MenuCommand(const Command& command, const MenuPick& pick);
    void AfterClick();

    void AddSlot(const Command& command);
    void SetDriverKey(const Command& command);
    void FailRead(const Command& command);
    void StartTool(const Command& command);
    void Insert(const Command& command);
    void Pull(const Command& command);
    void Eject(const Command& command);
    void ChangeFile(const Command& command, bool open);
    void BreakCardDisk(const Command& command);
    static std::string VolumeName(const CardVolume& volume);
    std::string MountPointProblem(const CardVolume& volume);
    SimVolume* FileVolume(const Command& command);
    void AddNetworkDrive(const Command& command);
    void PickFromMenu(const Command& command);
    void RunSettings(const Command& command);
    void Wait(const Command& command);
    void ShowLog(const Command& command);

    void ExpectBalloon(const Command& command);
    void ExpectIcon(const Command& command);
    void ExpectMessage(const Command& command);
    void ExpectRequest(const Command& command);
    void ExpectLog(const Command& command);

    // The settings dialog while it is open: what the user does in it.
    void OperateSettings(SimSettingsDialog& opened);

    SimulatorOptions options_;
    SimPc pc_;
    SimFiles toolFiles_;  // the tool's own path, for the Run value
    LogFolder logFolder_;
    SimTrayTool tool_;
    ConsoleView view_;

    ToolState state_ = ToolState::NotStarted;
    std::optional<SettingsInput> settingsInput_;
    bool driverRemoved_ = false;  // driver-key no-driver: slots come without the driver's key

    int step_ = 0;
    std::string stepTitle_;
    // Where the current step began (or its last match), per kind of event.
    std::size_t balloonsSeen_ = 0;
    std::size_t messagesSeen_ = 0;
    std::size_t requestsSeen_ = 0;
    std::vector<StepFailure> failures_;
};

}  // namespace qn38::sim
