// The simulator's scenario language: one command per line, words separated
// by blanks, "double quotes" around a word with blanks (\" and \\ inside),
// '#' to the end of the line a comment. Every line is checked when it is
// read, so a bad line is reported with its number before anything runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qn38::sim {

enum class Verb {
    Step,
    Slot,
    DriverKey,
    FailRead,
    FailScan,
    Session,
    Start,
    Insert,
    Pull,
    Eject,
    OpenFile,
    CloseFile,
    OpenDevice,
    CloseDevice,
    Browse,
    LockVolume,
    UnlockVolume,
    BadDisk,
    DeferDisable,
    NetworkDrive,
    ShellRestart,
    ShellAbsent,
    ShellReady,
    Service,
    Click,
    Choose,
    Menu,
    Answer,
    Settings,
    CloseAbout,
    DeviceChange,
    Power,
    Send,
    Sleep,
    Wake,
    RestartService,
    Wait,
    ExpectBalloon,
    ExpectNoBalloon,
    ExpectIcon,
    ExpectMessage,
    ExpectRequest,
    ExpectCard,
    ExpectLink,
    ExpectLog,
    ExpectRestart,
    Log,
    Help,
    Quit,
};

enum class TrayIcon { Card, Busy, NoCard, None };

// An item of one of the tray menus, named the same in every language.
struct MenuPick {
    enum class Item { None, Stop, Start, Settings, About, Exit };
    Item item = Item::None;
    std::uint8_t bus = 0;  // of Stop and Start
};

// A volume of a card's disk, by its mount point: a letter, a folder of
// another volume, or neither.
struct CardVolume {
    char letter = 0;
    std::string folder;
    bool raw = false;      // no file system the PC can read
    bool optical = false;  // a disc in an optical drive of the card
    bool operator==(const CardVolume&) const = default;
};

struct CardInsert {
    std::vector<CardVolume> disks;  // one disk (or optical drive) with one volume each
    bool serial = false;            // the card's function is a serial port
    bool needsLinkCycle = false;
    bool needsDeviceCycle = false;
    int trainingReenumerations = 0;
    std::uint32_t trainingMilliseconds = 0;
    std::uint32_t answerMilliseconds = 0;   // after training, before it answers configuration reads
    std::uint32_t installMilliseconds = 0;  // its devnode waits this long for its driver
    std::uint32_t lingerMilliseconds = 0;   // the card's devices stay this long after its link went down
    std::uint32_t problem = 0;              // the card's device comes up with this problem code
    std::optional<std::string> name;
};

// What the user does in the settings dialog: the texts typed over the
// edits, the check box, and the button that closes it.
struct SettingsInput {
    std::optional<bool> startup;
    std::optional<std::string> size;
    std::optional<std::string> start;
    std::optional<std::string> end;
    bool cancel = false;
};

struct Command {
    Verb verb = Verb::Help;
    int line = 0;
    std::string source;  // the line as written, without its comment

    std::string text;  // step title, expected request, log text or literal balloon text
    std::uint8_t bus = 0;
    char letter = 0;
    int count = 0;  // wait: poller passes; fail-read, fail-scan: the reads or scans that fail; session: the user
    std::uint32_t values[3] = {};  // driver-key: DefLen, StartAdrs, EndAdrs; power: wParam, lParam; fail-read: offset;
                                   // send: stateChange, linkEnable, checkDisks
    bool flag = false;  // slot: without the filter; driver-key: no driver; click: right; expect-*: yes/present/enabled;
                        // network-drive: unreachable; service: hang;
                        // wake: reset-link
    std::uint32_t stringId = 0;       // expect-balloon, expect-message: the string by its kind
    std::optional<std::string> name;  // expect-balloon: the card's name in the text
    std::string holder;               // expect-balloon: who holds the card, on a line of its own
    int answer = 0;                   // answer: IDYES, IDNO or IDOK
    TrayIcon icon = TrayIcon::Card;   // expect-icon
    MenuPick pick;                    // choose, menu
    CardInsert card;                  // insert
    CardVolume volume;                // open-file, close-file: a letter or a folder; neither: the volume of `bus`
    SettingsInput settings;           // settings
};

struct ScenarioError {
    int line = 0;
    std::string message;
};

struct ParsedLine {
    std::optional<Command> command;  // nothing for a blank or comment line
    std::optional<ScenarioError> error;
};

struct ParsedScenario {
    std::vector<Command> commands;
    std::vector<ScenarioError> errors;
};

// One line, numbered `line` for the messages.
ParsedLine ParseScenarioLine(std::string_view text, int line);
// A whole scenario; every bad line is reported, not only the first.
ParsedScenario ParseScenario(std::string_view text);

// The list of commands with their forms, for --help and the prompt's help.
std::string ScenarioHelp();

}  // namespace qn38::sim
