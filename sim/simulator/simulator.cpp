#include "sim/simulator/simulator.h"

#include <chrono>
#include <cstdio>

#include "lib/include/QN38HotPlug.h"
#include "lib/core/constants.h"
#include "lib/core/log_layout.h"
#include "lib/core/log_reader.h"
#include "tool/core/settings_dialog.h"
#include "tool/core/tool_ids.h"
#include "tool/core/tool_text.h"
#include "tool/res/resource.h"
#include "sim/tool/sim_settings_window.h"

namespace qn38::sim {
namespace {

constexpr std::u16string_view TOOL_PATH = u"C:\\Program Files\\QN38\\QN38HotPlugTool.exe";
constexpr std::uint64_t COMMAND_MILLISECONDS = 1000;  // the user takes a moment between actions
constexpr std::uint64_t STEP_MILLISECONDS = 60000;

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

std::string BusName(std::uint8_t bus) { return "bus " + Hex(bus, 2); }

// The 9:30 of the simulated PC's clock, moved on by the run's own time.
LocalTime ClockAt(std::uint64_t elapsedMilliseconds) {
    using namespace std::chrono;
    const sys_days day = year{2026} / December / 7;
    const auto at =
        sys_seconds(day) + hours{9} + minutes{30} + duration_cast<seconds>(milliseconds(elapsedMilliseconds));
    const auto date = year_month_day(floor<days>(at));
    const hh_mm_ss time(at - floor<days>(at));
    return {static_cast<std::uint16_t>(static_cast<int>(date.year())),
            static_cast<std::uint16_t>(static_cast<unsigned>(date.month())),
            static_cast<std::uint16_t>(static_cast<unsigned>(date.day())),
            static_cast<std::uint16_t>(time.hours().count()),
            static_cast<std::uint16_t>(time.minutes().count()),
            static_cast<std::uint16_t>(time.seconds().count())};
}

bool ErrorBalloon(std::uint32_t stringId) { return stringId == IDS_STOP_FAILED || stringId == IDS_START_FAILED; }

}  // namespace

Simulator::Session::Session(SimSharedPc& shared, const SimulatorOptions& options, std::ostream& out, int user)
    : tool(shared, options.language),
      view(out, tool, options.verbose, user == 1 ? std::string() : "user " + std::to_string(user) + " ") {}

Simulator::Simulator(const SimulatorOptions& options, std::ostream& out)
    : options_(options),
      out_(out),
      logFolder_(options.workdir, pc_.files, options.keepLog),
      shared_(pc_),
      view_(AddSession(1).view) {
    toolFiles_.executablePath = std::u16string(TOOL_PATH);
    // What every Windows PC has: ordinary PCI devices, its system disk, the
    // current user's Run key.
    tool().OnMachine([&] {
        pc_.devices.AddOrdinaryDevices(8);
        pc_.storage.AddSystemDisk();
        pc_.registry.CreateKey(RegistryRoot::CurrentUser, tool::RUN_KEY_PATH);
        pc_.clock.now = ClockAt(0);
    });
}

Simulator::~Simulator() {
    for (auto& [user, session] : sessions_) {
        session->tool.settings.whileOpen = nullptr;
        if (session->state == ToolState::Running) session->tool.Destroy();
    }
}

Simulator::Session& Simulator::AddSession(int user) {
    auto& session = sessions_[user];
    if (!session) {
        session = std::make_unique<Session>(shared_, options_, out_, user);
        session->tool.settings.whileOpen = [this](SimSettingsDialog& opened) { OperateSettings(opened); };
    }
    return *session;
}

void Simulator::SwitchSession(const Command& command) {
    AddSession(command.count);
    current_ = command.count;
    view_.Event("system", "the commands that follow are user " + std::to_string(current_) + "'s");
}

void Simulator::FailScan(const Command& command) {
    tool().OnMachine([&] { pc_.devices.FailNextPciDeviceSets(command.count); });
    view_.Event("machine", "the next " + std::to_string(command.count) +
                               " build(s) of the PCI device set fail: Plug and Play is busy");
}

bool Simulator::Play(const std::vector<Command>& commands) {
    for (const auto& command : commands) {
        if (!Execute(command)) return false;
    }
    return true;
}

bool Simulator::Execute(const Command& command) {
    if (command.verb == Verb::Quit) return false;
    if (command.verb == Verb::Step) {
        BeginStep(command);
        return true;
    }
    if (command.verb == Verb::Help) {
        view_.Heading("Commands:\n" + ScenarioHelp());
        return true;
    }
    view_.Command(command.source);
    AdvanceClock(COMMAND_MILLISECONDS);
    std::uint64_t stalled = 0;
    tool().OnMachine([&] { stalled = pc_.io.stalledSizeQueries; });
    const std::uint64_t abandoned = shared_.service.AbandonedReads();
    try {
        Run(command);
    } catch (const std::exception& error) {
        // A machine that refuses what the command asks (no such volume, slot
        // or card) is a failure of this step, not the end of the run.
        Fail(command, error.what());
    }
    FlushMenus();
    if (const std::uint64_t given = shared_.service.AbandonedReads() - abandoned; given > 0) {
        view_.Event("tool", "gave up waiting for the service's reply " + std::to_string(given) +
                                " time(s), as for an unreachable service");
    }
    // A size query on an unreachable network drive holds the asking thread
    // for the network's timeout: that is a freeze whatever the scenario expects.
    std::uint64_t stalledNow = 0;
    tool().OnMachine([&] { stalledNow = pc_.io.stalledSizeQueries; });
    if (stalledNow > stalled) {
        Fail(command, "an unreachable network drive was asked for its size " + std::to_string(stalledNow - stalled) +
                          " time(s); each waits out the network's timeout");
    }
    return true;
}

void Simulator::Run(const Command& command) {
    switch (command.verb) {
    case Verb::Slot:
        return AddSlot(command);
    case Verb::DriverKey:
        return SetDriverKey(command);
    case Verb::FailRead:
        return FailRead(command);
    case Verb::FailScan:
        return FailScan(command);
    case Verb::Session:
        return SwitchSession(command);
    case Verb::Start:
        return StartTool(command);
    case Verb::Insert:
        return Insert(command);
    case Verb::Pull:
        return Pull(command);
    case Verb::Eject:
        return Eject(command);
    case Verb::OpenFile:
        return ChangeFile(command, true);
    case Verb::CloseFile:
        return ChangeFile(command, false);
    case Verb::OpenDevice:
        return ChangeDeviceHandle(command, true);
    case Verb::CloseDevice:
        return ChangeDeviceHandle(command, false);
    case Verb::Browse:
        return Browse(command);
    case Verb::LockVolume:
        return ChangeVolumeLock(command, true);
    case Verb::UnlockVolume:
        return ChangeVolumeLock(command, false);
    case Verb::BadDisk:
        return BreakCardDisk(command);
    case Verb::DeferDisable:
        return DeferDisable();
    case Verb::NetworkDrive:
        return AddNetworkDrive(command);
    case Verb::ShellRestart:
        return RestartShell(false);
    case Verb::ShellAbsent:
        tool().shell.SetAbsent(true);
        view_.Event("system", "no notification area: Explorer is not running");
        return;
    case Verb::ShellReady:
        return RestartShell(true);
    case Verb::Service:
        return ChangeService(command);
    case Verb::Click:
        return Click(command);
    case Verb::Choose:
        if (!Running(command)) return;
        if (const auto id = MenuCommand(command, command.pick)) tool().menus.Choose(*id);
        return;
    case Verb::Menu:
        return PickFromMenu(command);
    case Verb::Answer:
        tool().messages.Answer(command.answer);
        return;
    case Verb::Settings:
        return RunSettings(command);
    case Verb::CloseAbout:
        return CloseAbout(command);
    case Verb::DeviceChange:
        if (!Running(command)) return;
        tool().DeviceChange();
        return;
    case Verb::Power:
        if (!Running(command)) return;
        tool().PowerBroadcast(command.values[0], static_cast<std::int32_t>(command.values[1]));
        return;
    case Verb::Send:
        return SendRequest(command);
    case Verb::Sleep:
        return Suspend();
    case Verb::Wake:
        return Resume(command);
    case Verb::RestartService:
        shared_.service.Stop();
        shared_.service.Start();
        view_.Event("service", "ends and is started again, as after a crash and its recovery");
        return;
    case Verb::Wait:
        return Wait(command);
    case Verb::ExpectBalloon:
        return ExpectBalloon(command);
    case Verb::ExpectNoBalloon:
        return ExpectNoBalloon(command);
    case Verb::ExpectIcon:
        return ExpectIcon(command);
    case Verb::ExpectMessage:
        return ExpectMessage(command);
    case Verb::ExpectRequest:
        return ExpectRequest(command);
    case Verb::ExpectCard:
        return ExpectCard(command);
    case Verb::ExpectLink:
        return ExpectLink(command);
    case Verb::ExpectLog:
        return ExpectLog(command);
    case Verb::ExpectRestart:
        return ExpectRestart(command);
    case Verb::Log:
        return ShowLog(command);
    case Verb::Step:
    case Verb::Help:
    case Verb::Quit:
        return;
    }
}

void Simulator::RestartShell(bool absentBefore) {
    if (absentBefore) {
        tool().shell.SetAbsent(false);
        view_.Event("system", "Explorer's notification area comes up; TaskbarCreated is broadcast");
    } else {
        tool().shell.Restart();
        view_.Event("system", "Explorer restarts: a new, empty notification area; TaskbarCreated is broadcast");
    }
    if (Current().state == ToolState::Running) tool().TaskbarCreated();
}

void Simulator::ChangeService(const Command& command) {
    if (command.flag) {
        shared_.service.Hang();
        return view_.Event("service", "hangs: it takes the next request and answers none");
    }
    // The held request is finished before the scenario goes on, as a user
    // would see its effect before doing anything else.
    const std::size_t before = shared_.service.Exchanges().size();
    shared_.service.Resume();
    shared_.service.WaitForExchanges(before + 1, std::chrono::seconds(10));
    view_.Event("service", "resumes: the request it held is performed");
}

void Simulator::Click(const Command& command) {
    if (!Running(command)) return;
    command.flag ? tool().RightClick() : tool().LeftClick();
    AfterClick();
}

void Simulator::CloseAbout(const Command& command) {
    if (!Running(command)) return;
    tool().dialog().OnOK();
    view_.Event("window", "the About box is hidden");
}

void Simulator::ExpectNoBalloon(const Command& command) {
    const auto balloons = tool().BalloonsSince(Current().seen);
    if (!balloons.empty()) Fail(command, "a balloon was shown: \"" + Utf8FromUtf16(balloons.front().szInfo) + "\"");
}

void Simulator::ExpectCard(const Command& command) {
    SimSlot* slot = Slot(command, command.bus);
    if (slot == nullptr) return;
    bool present = false;
    tool().OnMachine([&] { present = slot->CardDevice().has_value(); });
    if (present != command.flag) {
        Fail(command,
             std::string("the card's device on ") + BusName(command.bus) + (present ? " is present" : " is absent"));
    }
}

void Simulator::ExpectLink(const Command& command) {
    SimSlot* slot = Slot(command, command.bus);
    if (slot == nullptr) return;
    bool enabled = false;
    tool().OnMachine([&] { enabled = !slot->LinkDisabled(); });
    if (enabled != command.flag) {
        Fail(command, "the link of the slot on " + BusName(command.bus) + (enabled ? " is enabled" : " is disabled"));
    }
}

void Simulator::ExpectRestart(const Command& command) {
    const bool asked = tool().system.rebootRequested != 0;
    if (asked != command.flag) Fail(command, asked ? "Windows was asked to restart" : "no restart was asked");
}

void Simulator::FlushMenus() {
    for (auto& [user, session] : sessions_) session->view.FlushMenus();
}

void Simulator::Fail(const Command& command, const std::string& message) {
    failures_.push_back({step_, stepTitle_, command.line, message});
    view_.Event("!! FAILED", "line " + std::to_string(command.line) + ": " + message);
}

void Simulator::BeginStep(const Command& command) {
    FlushMenus();
    ++step_;
    stepTitle_ = command.text;
    AdvanceClock(STEP_MILLISECONDS);
    view_.Heading("== Step " + std::to_string(step_) + ": " + stepTitle_);
    for (auto& [user, session] : sessions_) {
        session->seen = session->tool.Mark();
    }
}

void Simulator::AdvanceClock(std::uint64_t milliseconds) {
    tool().OnMachine([&] {
        pc_.clock.Advance(milliseconds);
        pc_.clock.now = ClockAt(pc_.clock.elapsedMilliseconds);
    });
}

bool Simulator::Running(const Command& command) {
    switch (Current().state) {
    case ToolState::Running:
        return true;
    case ToolState::NotStarted:
        Fail(command, "the tool is not running yet (start it first)");
        return false;
    case ToolState::Ended:
        Fail(command, "the tool has ended");
        return false;
    }
    return false;
}

SimSlot* Simulator::Slot(const Command& command, std::uint8_t bus) {
    SimSlot* found = nullptr;
    tool().OnMachine([&] {
        for (SimSlot* slot : pc_.slots.All()) {
            if (slot->bus() == bus) found = slot;
        }
    });
    if (found == nullptr) Fail(command, "the machine has no slot on " + BusName(bus));
    return found;
}

std::optional<std::uint32_t> Simulator::MenuCommand(const Command& command, const MenuPick& pick) {
    switch (pick.item) {
    case MenuPick::Item::None:
        return 0u;
    case MenuPick::Item::Settings:
        return ID_SETTINGS;
    case MenuPick::Item::About:
        return ID_ABOUT;
    case MenuPick::Item::Exit:
        return ID_EXIT;
    case MenuPick::Item::Stop:
    case MenuPick::Item::Start: {
        const std::uint32_t base =
            pick.item == MenuPick::Item::Stop ? tool::ID_STOP_SLOT_BASE : tool::ID_START_SLOT_BASE;
        const auto buses = tool().dialog().SlotBuses();
        for (std::size_t index = 0; index < buses.size(); ++index) {
            if (buses[index] == pick.bus) return base + static_cast<std::uint32_t>(index);
        }
        Fail(command, "the tool found no slot on " + BusName(pick.bus));
        return std::nullopt;
    }
    }
    return std::nullopt;
}

void Simulator::AfterClick() {
    FlushMenus();
    // Exit ends the main dialog; the framework then destroys its window.
    if (tool().window.EndedWith()) {
        tool().Destroy();
        Current().state = ToolState::Ended;
    }
}

void Simulator::AddSlot(const Command& command) {
    if (Current().state != ToolState::NotStarted) return Fail(command, "slots are added before the tool starts");
    bool taken = false;
    tool().OnMachine([&] {
        for (SimSlot* slot : pc_.slots.All()) taken = taken || slot->bus() == command.bus;
        if (taken) return;
        AdapterSpec spec{.slotBus = command.bus, .driverInstalled = !driverRemoved_};
        if (!command.flag) spec.rootPortFilters = std::vector<std::u16string>{U16(FILTER_NAME)};
        pc_.AddSlot(spec);
    });
    if (taken) return Fail(command, "there is a slot on " + BusName(command.bus) + " already");
    view_.Event("machine", "a QN38EX adapter, its slot bridge on " + BusName(command.bus) +
                               (command.flag ? ", QN38UP not on its root port" : ", QN38UP on its root port"));
}

void Simulator::SetDriverKey(const Command& command) {
    if (command.flag) {
        driverRemoved_ = true;
        tool().OnMachine([&] { pc_.registry.DeleteKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH)); });
        return view_.Event("machine", "QN38UP's key is absent: the filter driver is not installed");
    }
    driverRemoved_ = false;
    tool().OnMachine([&] {
        const std::u16string path = U16(DRIVER_KEY_PATH);
        pc_.registry.SetDword(RegistryRoot::LocalMachine, path, u"DefLen", command.values[0]);
        pc_.registry.SetDword(RegistryRoot::LocalMachine, path, u"StartAdrs", command.values[1]);
        pc_.registry.SetDword(RegistryRoot::LocalMachine, path, u"EndAdrs", command.values[2]);
    });
    view_.Event("machine", "QN38UP's key: DefLen " + Hex(command.values[0], 8) + ", StartAdrs " +
                               Hex(command.values[1], 8) + ", EndAdrs " + Hex(command.values[2], 8));
}

void Simulator::FailRead(const Command& command) {
    const auto offset = static_cast<std::uint8_t>(command.values[0]);
    tool().OnMachine([&] { pc_.devices.dump().readFailures[{command.bus, offset}] += command.count; });
    view_.Event("machine", "the dump device refuses the next " + std::to_string(command.count) + " read(s) of " +
                               Hex(offset, 2) + " on " + BusName(command.bus));
}

void Simulator::StartTool(const Command& command) {
    if (Current().state != ToolState::NotStarted) return Fail(command, "the tool has been started already");
    if (!tool().Start()) {
        // The user agreed to restart Windows: the tool's start-up ends there.
        view_.Event("system", "Windows restarts");
        tool().Destroy();
        Current().state = ToolState::Ended;
        return;
    }
    Current().state = ToolState::Running;
    if (!tool().dialog().IsPollerRunning()) {
        view_.Event("poller", "not started: the tool found no slot");
        return;
    }
    if (!tool().AwaitPollerAtRest()) Fail(command, "the poller did not finish its first pass");
}

void Simulator::Insert(const Command& command) {
    SimSlot* slot = Slot(command, command.bus);
    if (slot == nullptr) return;
    CardSpec card = command.card.serial ? SerialCard() : CardSpec{};
    if (command.card.name) card.description = Utf16FromUtf8(*command.card.name);
    card.needsLinkCycle = command.card.needsLinkCycle;
    card.needsDeviceCycle = command.card.needsDeviceCycle;
    card.trainingReenumerations = command.card.trainingReenumerations;
    card.trainingMilliseconds = command.card.trainingMilliseconds;
    card.answerMilliseconds = command.card.answerMilliseconds;
    card.installMilliseconds = command.card.installMilliseconds;
    card.lingerMilliseconds = command.card.lingerMilliseconds;
    card.problem = command.card.problem;
    std::string problem;
    tool().OnMachine([&] {
        if (slot->CardInserted()) {
            problem = "the slot on " + BusName(command.bus) + " holds a card already (pull it first)";
            return;
        }
        for (std::size_t i = 0; i < command.card.disks.size(); ++i) {
            const CardVolume& volume = command.card.disks[i];
            bool twice = false;
            for (std::size_t j = 0; j < i; ++j) twice = twice || command.card.disks[j] == volume;
            problem = twice ? "a mount point is named twice" : MountPointProblem(volume);
            if (!problem.empty()) return;
            DiskSpec disk{
                .volumes = {{.letter = volume.letter, .folder = Utf16FromUtf8(volume.folder), .raw = volume.raw}},
                .removable = false,
                .optical = volume.optical};
            if (volume.optical) {
                disk.description = u"ExpressCard DVD Drive";
                disk.volumes.front().totalBytes = 700u << 20;
            }
            card.disks.push_back(disk);
        }
        slot->InsertCard(card);
    });
    if (!problem.empty()) return Fail(command, problem);
    std::string what = "a card (\"" + Utf8FromUtf16(card.description) + "\"";
    if (command.card.serial) what += ", a serial port";
    for (const CardVolume& volume : command.card.disks) {
        what += volume.optical ? ", an optical drive with a disc at " + VolumeName(volume)
                               : ", a disk with " + VolumeName(volume) + (volume.raw ? " (raw)" : "");
    }
    if (card.needsLinkCycle) what += ", up only after a link cycle";
    if (card.needsDeviceCycle) what += ", up only after a device cycle";
    if (card.trainingMilliseconds > 0) what += ", its link trains " + std::to_string(card.trainingMilliseconds) + " ms";
    if (card.answerMilliseconds > 0) what += ", it answers " + std::to_string(card.answerMilliseconds) + " ms later";
    if (card.installMilliseconds > 0) {
        what += ", its driver installs for " + std::to_string(card.installMilliseconds) + " ms";
    }
    if (card.lingerMilliseconds > 0) {
        what += ", its devices stay " + std::to_string(card.lingerMilliseconds) + " ms after its link goes down";
    }
    if (card.problem != 0) what += ", its device comes up with problem " + std::to_string(card.problem);
    view_.Event("machine", what + ") goes into the slot on " + BusName(command.bus));
}

void Simulator::Pull(const Command& command) {
    SimSlot* slot = Slot(command, command.bus);
    if (slot == nullptr) return;
    bool inserted = false;
    tool().OnMachine([&] {
        inserted = slot->CardInserted();
        if (inserted) slot->PullCard();
    });
    if (!inserted) return Fail(command, "the slot on " + BusName(command.bus) + " holds no card");
    view_.Event("machine", "the card is pulled out of the slot on " + BusName(command.bus));
}

void Simulator::Eject(const Command& command) {
    SimSlot* slot = Slot(command, command.bus);
    if (slot == nullptr) return;
    bool hasDevice = false;
    tool().OnMachine([&] {
        hasDevice = slot->CardDevice().has_value();
        if (hasDevice) slot->HoldCardForEject();
    });
    if (!hasDevice) return Fail(command, "the slot on " + BusName(command.bus) + " has no card device to eject");
    view_.Event("machine", "Windows' safe removal: the card's device is held for eject (problem 47)");
    if (Current().state != ToolState::Running) return;
    view_.Event("system", "WM_DEVICECHANGE is broadcast");
    tool().DeviceChange();
}

void Simulator::AddNetworkDrive(const Command& command) {
    bool taken = false;
    tool().OnMachine([&] {
        taken = pc_.storage.HasVolume(command.letter) || (pc_.io.LogicalDrives() & (1u << (command.letter - 'A'))) != 0;
        if (!taken) pc_.io.SetNetworkDrive(command.letter, !command.flag);
    });
    if (taken) return Fail(command, std::string("the drive letter ") + command.letter + ": is taken");
    view_.Event("machine", std::string("a network drive is mapped to ") + command.letter + ":" +
                               (command.flag ? ", its server does not answer" : ""));
}

void Simulator::ChangeVolume(const Command& command,
                             const std::function<std::string(SimVolume&, const std::string&)>& change,
                             const std::string& done) {
    std::string problem;
    const std::string where =
        command.volume == CardVolume{} ? "the card's volume on " + BusName(command.bus) : VolumeName(command.volume);
    tool().OnMachine([&] {
        SimVolume* volume = FileVolume(command);
        problem = volume == nullptr ? "there is no volume " + where : change(*volume, where);
    });
    if (!problem.empty()) return Fail(command, problem);
    view_.Event("machine", done + where);
}

void Simulator::ChangeFile(const Command& command, bool open) {
    ChangeVolume(
        command,
        [&](SimVolume& volume, const std::string& where) -> std::string {
            if (open) {
                pc_.storage.OpenFileOn(volume);
            } else if (volume.programHandles == 0) {
                return "no program holds a file open on " + where;
            } else {
                pc_.storage.CloseFileOn(volume);
            }
            return "";
        },
        open ? "a program opens a file on " : "a program closes its file on ");
}

// The terminal program that holds the card's function, as a COM port.
constexpr std::u16string_view kDeviceHolder = u"ttermpro.exe";

void Simulator::ChangeDeviceHandle(const Command& command, bool open) {
    SimSlot* slot = Slot(command, command.bus);
    if (slot == nullptr) return;
    std::string problem;
    tool().OnMachine([&] {
        const auto card = slot->CardDevice();
        if (!card) {
            problem = "the slot on " + BusName(command.bus) + " has no card device";
        } else if (open) {
            pc_.devices.Hold(*card, {.program = std::u16string(kDeviceHolder)});
        } else if (!pc_.devices.Release(*card, kDeviceHolder)) {
            problem = "no program holds a handle on the card's function";
        }
    });
    if (!problem.empty()) return Fail(command, problem);
    view_.Event("machine", open ? "a terminal program opens the card's function and keeps it open"
                                : "the terminal program closes its handle on the card's function");
}

void Simulator::Browse(const Command& command) {
    bool found = false;
    tool().OnMachine([&] {
        SimVolume* volume = pc_.storage.FindVolume(command.volume.letter);
        found = volume != nullptr;
        if (found) ++volume->explorerWindows;
    });
    const std::string where = VolumeName(command.volume);
    if (!found) return Fail(command, "there is no volume " + where);
    view_.Event("machine", "an Explorer window shows " + where);
}

void Simulator::ChangeVolumeLock(const Command& command, bool lock) {
    ChangeVolume(
        command,
        [&](SimVolume& volume, const std::string& where) -> std::string {
            if (lock) return pc_.storage.LockByProgram(volume) ? "" : where + " is in use or locked already";
            if (!volume.lockedByProgram) return "no program holds " + where + " locked";
            pc_.storage.UnlockByProgram(volume);
            return "";
        },
        lock ? "another program locks " : "another program unlocks ");
}

// The card's volumes by their mount points, for the scenario's words.
std::string Simulator::VolumeName(const CardVolume& volume) {
    if (volume.letter != 0) return std::string(1, volume.letter) + ":";
    return volume.folder.empty() ? "a volume with no mount point" : volume.folder;
}

// Called on the machine: why the card cannot have a volume there, or nothing.
std::string Simulator::MountPointProblem(const CardVolume& volume) {
    if (volume.letter != 0) {
        const bool taken =
            pc_.storage.HasVolume(volume.letter) || (pc_.io.LogicalDrives() & (1u << (volume.letter - 'A'))) != 0;
        return taken ? std::string("drive letter ") + volume.letter + ": is taken" : "";
    }
    if (volume.folder.empty()) return "";
    if (!pc_.storage.HasVolume(static_cast<char>(volume.folder[0] & ~0x20))) {
        return "there is no volume " + volume.folder.substr(0, 2) + " for the folder " + volume.folder;
    }
    return pc_.storage.VolumeInFolder(Utf16FromUtf8(volume.folder))
               ? "a volume is mounted in " + volume.folder + " already"
               : "";
}

// Called on the machine. A program that opens the card's volume by its GUID
// path picks the volume without a mount point, or the first one.
SimVolume* Simulator::FileVolume(const Command& command) {
    if (command.volume.letter != 0) return pc_.storage.FindVolume(command.volume.letter);
    if (!command.volume.folder.empty()) return pc_.storage.VolumeInFolder(Utf16FromUtf8(command.volume.folder));
    SimVolume* found = nullptr;
    for (SimSlot* slot : pc_.slots.All()) {
        if (slot->bus() != command.bus) continue;
        for (const DevNode disk : slot->CardDisks()) {
            for (const auto& name : pc_.storage.Disk(disk).volumes) {
                SimVolume* volume = pc_.storage.VolumeNamed(name);
                if (found == nullptr || (volume->letter == 0 && volume->folder.empty())) found = volume;
            }
        }
    }
    return found;
}

void Simulator::DeferDisable() {
    tool().OnMachine([&] { ++pc_.devices.deferredStops; });
    view_.Event("machine", "the class installer will put the next disable or restart off to the next boot");
}

void Simulator::BreakCardDisk(const Command& command) {
    SimSlot* slot = Slot(command, command.bus);
    if (slot == nullptr) return;
    std::size_t disks = 0;
    tool().OnMachine([&] {
        for (const DevNode disk : slot->CardDisks()) {
            pc_.storage.Disk(disk).refuseOpen = true;
            ++disks;
        }
    });
    if (disks == 0) return Fail(command, "the card on " + BusName(command.bus) + " has no disk");
    view_.Event("machine", "the card's disk interface on " + BusName(command.bus) +
                               " cannot be opened to ask for its device number");
}

void Simulator::PickFromMenu(const Command& command) {
    if (!Running(command)) return;
    const auto id = MenuCommand(command, command.pick);
    if (!id) return;
    const std::size_t before = tool().menus.Shown().size();
    tool().menus.Choose(*id);
    const bool stopMenu = command.pick.item == MenuPick::Item::Stop || command.pick.item == MenuPick::Item::Start;
    stopMenu ? tool().LeftClick() : tool().RightClick();
    FlushMenus();
    const auto& shown = tool().menus.Shown();
    if (shown.size() == before + 1 && shown.back().chosen != *id) {
        const std::string what = command.pick.item == MenuPick::Item::Stop ? "no item" : "no start item";
        Fail(command, stopMenu ? "the stop menu holds " + what + " for the slot on " + BusName(command.pick.bus)
                               : "the menu does not hold that item");
    }
    AfterClick();
}

void Simulator::RunSettings(const Command& command) {
    if (!Running(command)) return;
    const int before = tool().settings.Opened();
    settingsInput_ = command.settings;
    tool().menus.Choose(ID_SETTINGS);
    tool().RightClick();
    settingsInput_.reset();
    if (tool().settings.Opened() == before) Fail(command, "the settings dialog did not open");
    AfterClick();
}

void Simulator::OperateSettings(SimSettingsDialog& opened) {
    FlushMenus();
    SimSettingsWindow controls;
    tool::CtavremoveDlg dialog({controls, tool().messages, pc_.registry, toolFiles_, tool().client, tool().system});
    controls.Attach(dialog);
    dialog.OnInitDialog();
    const auto shown = [&] {
        return "size " + Utf8FromUtf16(controls.Text(IDC_EDIT_SIZE)) + ", start " +
               Utf8FromUtf16(controls.Text(IDC_EDIT_START)) + ", end " + Utf8FromUtf16(controls.Text(IDC_EDIT_END)) +
               " (MiB), start at log-on " + (controls.Checked(IDC_STARTUP) ? "on" : "off");
    };
    view_.Event("settings", "opens: " + shown());

    const SettingsInput input = settingsInput_.value_or(SettingsInput{});
    if (input.startup && *input.startup != controls.Checked(IDC_STARTUP)) controls.Click(IDC_STARTUP);
    const auto enter = [&](std::uint32_t editId, const std::optional<std::string>& text) {
        if (!text) return;
        controls.SelectAll(editId);
        if (text->empty()) {
            controls.Clear(editId);
        } else {
            controls.Type(editId, Utf16FromUtf8(*text));
        }
    };
    enter(IDC_EDIT_SIZE, input.size);
    enter(IDC_EDIT_START, input.start);
    enter(IDC_EDIT_END, input.end);
    view_.Event("settings", "the user enters " + shown() + ", presses " + (input.cancel ? "Cancel" : "OK"));

    const std::size_t endings = controls.Endings().size();
    controls.Click(input.cancel ? tool::IDCANCEL_RESULT : tool::IDOK_RESULT);
    if (controls.Endings().size() == endings) {
        // OK refused the values and the dialog stays open: the user gives up.
        view_.Event("settings", "the dialog stays open; the user presses Cancel");
        controls.Click(tool::IDCANCEL_RESULT);
    }
    const int result = controls.Endings().empty() ? tool::IDCANCEL_RESULT : controls.Endings().back();
    opened.EndDialog(result);
    view_.Event("settings", std::string("closed with ") + (result == tool::IDOK_RESULT ? "OK" : "Cancel"));
}

void Simulator::SendRequest(const Command& command) {
    const auto reply = tool().client.RequestSetStatus(command.bus, static_cast<std::uint8_t>(command.values[0]),
                                                      static_cast<std::uint8_t>(command.values[1]),
                                                      static_cast<std::uint8_t>(command.values[2]));
    view_.Event("script", "sends SetStatus(" + BusName(command.bus) + "," + std::to_string(command.values[0]) + "," +
                              std::to_string(command.values[1]) + "," + std::to_string(command.values[2]) +
                              "), answered " + std::to_string(reply));
}

// The broadcasts go to every user's tool, each on its window's thread.
void Simulator::Broadcast(std::uintptr_t wParam) {
    for (auto& [user, session] : sessions_) {
        if (session->state == ToolState::Running) session->tool.PowerBroadcast(wParam, 0);
    }
}

void Simulator::Suspend() {
    Broadcast(tool::PBT_APMSUSPEND_EVENT);
    asleep_ = true;
    view_.Event("system", "the PC sleeps: no program runs until the wake");
}

void Simulator::Resume(const Command& command) {
    asleep_ = false;
    tool().OnMachine([&] {
        for (SimSlot* slot : pc_.slots.All()) {
            if (command.flag) slot->ResetLink();
            // Plug and Play looks at every bus again after a resume.
            pc_.devices.Reenumerate(slot->bridge());
        }
    });
    view_.Event("system",
                command.flag ? "the PC wakes; the slot bridges come back with Link Disable clear" : "the PC wakes");
    // Windows says that it resumed by itself, then, as the user is back, that
    // the user resumed it.
    Broadcast(tool::PBT_APMRESUMEAUTOMATIC_EVENT);
    Broadcast(tool::PBT_APMRESUMESUSPEND_EVENT);
}

void Simulator::Wait(const Command& command) {
    if (!Running(command)) return;
    if (asleep_) {
        AdvanceClock(static_cast<std::uint64_t>(command.count) * tool::POLL_INTERVAL_MS);
        return;
    }
    if (!tool().dialog().IsPollerRunning()) {
        tool().window.Pump();
        return;
    }
    // Every running tool polls: the current user's makes its pass first.
    for (int pass = 0; pass < command.count; ++pass) {
        AdvanceClock(tool::POLL_INTERVAL_MS);
        if (!tool().RunPollerPasses(1)) return Fail(command, "the poller did not finish its pass");
        FlushMenus();
        for (auto& [user, session] : sessions_) {
            if (user == current_ || session->state != ToolState::Running) continue;
            if (!session->tool.dialog().IsPollerRunning()) continue;
            if (!session->tool.RunPollerPasses(1)) {
                return Fail(command, "user " + std::to_string(user) + "'s poller did not finish its pass");
            }
            FlushMenus();
        }
    }
}

void Simulator::ShowLog(const Command& command) {
    const auto bytes = logFolder_.Read(LogPath(), LOG_FILE_MAX_BYTES);
    if (!bytes) return Fail(command, LogPath().string() + " cannot be read");
    const LogReadResult result = DecodeLog(*bytes);
    if (!result.log) return Fail(command, LogPath().string() + ": " + result.error);
    view_.Heading("---- " + LogPath().string() + " (" + std::to_string(bytes->size()) + " bytes, " +
                  std::to_string(result.log->entries.size()) + " entries), decoded oldest first ----\n" +
                  RenderLog(*result.log) + "---- end of the log ----");
}

void Simulator::ExpectBalloon(const Command& command) {
    const auto balloons = tool().BalloonsSince(Current().seen);
    std::u16string expected;
    std::u16string prefix;
    std::u16string suffix;
    if (command.stringId == 0) {
        expected = Utf16FromUtf8(command.text);
    } else {
        const std::u16string format = tool().strings.Load(command.stringId);
        if (command.name) {
            const std::u16string name = Utf16FromUtf8(*command.name);
            expected = tool::WithHolderLine(tool::FormatWithText(format, name.c_str(), tool::INFO_CHARACTERS),
                                            tool().strings.Load(IDS_STOP_HOLDER), Utf16FromUtf8(command.holder),
                                            tool::INFO_CHARACTERS);
        } else {
            const auto placeholder = format.find(u"%s");
            prefix = format.substr(0, placeholder);
            if (placeholder != std::u16string::npos) suffix = format.substr(placeholder + 2);
        }
    }
    for (std::size_t i = 0; i < balloons.size(); ++i) {
        const auto& balloon = balloons[i];
        bool matches = false;
        if (command.stringId == 0 || command.name) {
            matches = balloon.szInfo == expected;
        } else {
            // Without a card's name, a line naming who holds the card may follow.
            const auto fits = [&](std::u16string_view text) {
                return text.size() >= prefix.size() + suffix.size() && text.starts_with(prefix) &&
                       text.ends_with(suffix);
            };
            std::u16string_view text = balloon.szInfo;
            const std::u16string holder = tool().strings.Load(IDS_STOP_HOLDER);
            const auto holderPrefix = std::u16string_view(holder).substr(0, holder.find(u"%s"));
            const auto lastLine = text.rfind(u'\n');
            matches =
                fits(text) || (lastLine != std::u16string_view::npos &&
                               text.substr(lastLine + 1).starts_with(holderPrefix) && fits(text.substr(0, lastLine)));
        }
        if (command.stringId != 0) {
            matches = matches && balloon.dwInfoFlags ==
                                     (ErrorBalloon(command.stringId) ? tool::NIIF_ERROR_FLAG : tool::NIIF_INFO_FLAG);
        }
        if (matches) {
            Current().seen.balloons += i + 1;
            return;
        }
    }
    std::string seen;
    for (std::size_t i = 0; i < balloons.size(); ++i) {
        seen += (seen.empty() ? "" : ", ") + std::string("\"") + Utf8FromUtf16(balloons[i].szInfo) + "\"";
    }
    Fail(command, "no such balloon in this step; shown: " + (seen.empty() ? std::string("none") : seen));
}

void Simulator::ExpectIcon(const Command& command) {
    const bool shown = tool().shell.IconShown();
    const std::uint32_t icon = shown ? tool().shell.Current().iconId : 0;
    std::uint32_t wanted = 0;
    switch (command.icon) {
    case TrayIcon::Card:
        wanted = IDR_MAINFRAME;
        break;
    case TrayIcon::Busy:
        wanted = IDI_BUSY;
        break;
    case TrayIcon::NoCard:
        wanted = IDI_NO_CARD;
        break;
    case TrayIcon::None:
        break;
    }
    if (icon != wanted) {
        Fail(command, "the tray shows " + (shown ? "the icon \"" + ConsoleView::IconName(icon) + "\"" : "no icon"));
    }
}

void Simulator::ExpectMessage(const Command& command) {
    const auto shown = tool().MessagesSince(Current().seen);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (shown[i].stringId == command.stringId) {
            Current().seen.messages += i + 1;
            return;
        }
    }
    std::string seen;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        seen += (seen.empty() ? "" : ", ") + std::to_string(shown[i].stringId);
    }
    Fail(command, "message " + std::to_string(command.stringId) +
                      " was not shown in this step; shown: " + (seen.empty() ? std::string("none") : seen));
}

void Simulator::ExpectRequest(const Command& command) {
    const auto requests = tool().RequestsSince(Current().seen);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i] == command.text) {
            Current().seen.requests += i + 1;
            return;
        }
    }
    std::string seen;
    for (const auto& request : requests) seen += (seen.empty() ? "" : ", ") + request;
    Fail(command, "the service did not perform " + command.text +
                      " in this step; it performed: " + (seen.empty() ? std::string("nothing") : seen));
}

void Simulator::ExpectLog(const Command& command) {
    const auto bytes = logFolder_.Read(LogPath(), LOG_FILE_MAX_BYTES);
    if (!bytes) return Fail(command, LogPath().string() + " cannot be read");
    const LogReadResult result = DecodeLog(*bytes);
    if (!result.log) return Fail(command, LogPath().string() + ": " + result.error);
    for (const auto& entry : result.log->entries) {
        if (entry.text.find(command.text) != std::string::npos) return;
    }
    Fail(command, "no entry of the log contains \"" + command.text + "\"");
}

int Simulator::Finish() {
    FlushMenus();
    for (auto& [user, session] : sessions_) {
        if (session->state != ToolState::Running) continue;
        view_.Heading(sessions_.size() == 1
                          ? "== The run ends: the tool's window is destroyed"
                          : "== The run ends: user " + std::to_string(user) + "'s tool's window is destroyed");
        session->tool.Destroy();
        session->state = ToolState::Ended;
    }
    for (const auto& failure : logFolder_.Failures()) {
        failures_.push_back({step_, stepTitle_, 0, failure});
    }
    if (failures_.empty()) {
        const std::string steps = step_ == 0 ? "everything" : "every step (" + std::to_string(step_) + ")";
        view_.Heading("== Result: " + steps + " behaved as expected; the log is " + LogPath().string());
        return 0;
    }
    std::string summary = "== Result: " + std::to_string(failures_.size()) + " expectation(s) did not hold:";
    for (const auto& failure : failures_) {
        summary += "\n   step " + std::to_string(failure.step) +
                   (failure.title.empty() ? std::string() : " \"" + failure.title + "\"") +
                   (failure.line > 0 ? ", line " + std::to_string(failure.line) : std::string()) + ": " +
                   failure.message;
    }
    view_.Heading(summary);
    return 1;
}

}  // namespace qn38::sim
