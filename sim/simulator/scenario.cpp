#include "sim/simulator/scenario.h"

#include <charconv>
#include <functional>
#include <map>

#include "tool/core/ports/message_boxes.h"
#include "tool/res/resource.h"

namespace qn38::sim {
namespace {

// A line that cannot become a command: the reason, without the line number.
struct Refusal {
    std::string message;
};

using Words = std::vector<std::string>;

Words Tokenize(std::string_view text, std::string& source) {
    Words words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    std::size_t end = text.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
                word.push_back(text[++i]);
            } else if (c == '"') {
                quoted = false;
            } else {
                word.push_back(c);
            }
            continue;
        }
        if (c == '#') {
            end = i;
            break;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '"') {
            quoted = true;
        } else {
            word.push_back(c);
        }
    }
    if (quoted) throw Refusal{"a quoted word is not closed"};
    if (inWord) words.push_back(std::move(word));
    source = std::string(text.substr(0, end));
    while (!source.empty() && (source.back() == ' ' || source.back() == '\t' || source.back() == '\r')) {
        source.pop_back();
    }
    const auto first = source.find_first_not_of(" \t");
    source = first == std::string::npos ? std::string() : source.substr(first);
    return words;
}

// Decimal, or hexadecimal after 0x; a leading '-' only where `allowNegative`.
std::int64_t Number(const std::string& word, std::int64_t minimum, std::int64_t maximum, const char* what) {
    std::string_view digits = word;
    bool negative = false;
    if (!digits.empty() && digits.front() == '-' && minimum < 0) {
        negative = true;
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    const bool whole = !digits.empty() && error == std::errc() && end == digits.data() + digits.size();
    const std::int64_t signedValue = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    if (!whole || value > static_cast<std::uint64_t>(INT64_MAX) || signedValue < minimum || signedValue > maximum) {
        throw Refusal{std::string(what) + " must be a number from " + std::to_string(minimum) + " to " +
                      std::to_string(maximum) + " (decimal, or hexadecimal after 0x), not \"" + word + "\""};
    }
    return signedValue;
}

// A time on the simulated clock, written MSms.
std::uint32_t Milliseconds(std::string word, const char* what) {
    if (word.size() < 3 || !word.ends_with("ms")) throw Refusal{std::string(what) + ": the time is MSms, e.g. 1500ms"};
    word.resize(word.size() - 2);
    return static_cast<std::uint32_t>(Number(word, 0, 600000, what));
}

std::uint8_t Bus(const std::string& word) { return static_cast<std::uint8_t>(Number(word, 0, 255, "the bus")); }

char DriveLetter(const std::string& word, char first) {
    std::string letter = word;
    if (letter.size() == 2 && letter[1] == ':') letter.pop_back();
    if (letter.size() == 1) {
        char c = letter[0];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c >= first && c <= 'Z') return c;
    }
    throw Refusal{std::string("a drive letter from ") + first + " to Z is needed, not \"" + word + "\""};
}

// A folder on a lettered volume, as "C:\Card".
std::string FolderPath(const std::string& word) {
    if (word.size() < 4 || word[1] != ':' || word[2] != '\\' || (word[0] & ~0x20) < 'A' || (word[0] & ~0x20) > 'Z') {
        throw Refusal{"a folder such as C:\\Card is needed, not \"" + word + "\""};
    }
    return word;
}

// Picks one of `choices` by its word.
template <typename T>
T OneOf(const std::string& word, const std::vector<std::pair<std::string, T>>& choices, const char* what) {
    std::string names;
    for (const auto& [name, value] : choices) {
        if (word == name) return value;
        names += (names.empty() ? "" : "|") + name;
    }
    throw Refusal{std::string(what) + " must be one of " + names + ", not \"" + word + "\""};
}

const std::vector<std::pair<std::string, std::uint32_t>>& BalloonKinds() {
    static const std::vector<std::pair<std::string, std::uint32_t>> kinds = {
        {"please-wait", IDS_PLEASE_WAIT}, {"stopped", IDS_STOPPED},           {"stop-failed", IDS_STOP_FAILED},
        {"started", IDS_STARTED},         {"start-failed", IDS_START_FAILED},
    };
    return kinds;
}

const std::vector<std::pair<std::string, std::uint32_t>>& MessageKinds() {
    static const std::vector<std::pair<std::string, std::uint32_t>> kinds = {
        {"filter-registered", IDS_FILTER_REGISTERED}, {"filter-not-registered", IDS_FILTER_NOT_REGISTERED},
        {"memory-changed", IDS_MEMORY_CHANGED},       {"bad-hex-number", IDS_BAD_HEX_NUMBER},
        {"window-too-small", IDS_WINDOW_TOO_SMALL},   {"size-is-zero", IDS_SIZE_IS_ZERO},
    };
    return kinds;
}

// The words after the command's name, taken one at a time.
class Arguments {
public:
    explicit Arguments(const Words& words) : words_(words) {}

    bool Empty() const { return next_ >= words_.size(); }
    const std::string& Take(const char* what) {
        if (Empty()) throw Refusal{std::string(what) + " is missing"};
        return words_[next_++];
    }
    std::string Rest() {
        std::string rest;
        while (!Empty()) rest += (rest.empty() ? "" : " ") + words_[next_++];
        return rest;
    }
    void End() const {
        if (!Empty()) throw Refusal{"unexpected \"" + words_[next_] + "\""};
    }

private:
    const Words& words_;
    std::size_t next_ = 1;
};

MenuPick Pick(Arguments& arguments, bool noneAllowed) {
    const std::string& item = arguments.Take("the menu item");
    if (item == "stop") return {MenuPick::Item::Stop, Bus(arguments.Take("the bus of the slot to stop"))};
    if (item == "start") return {MenuPick::Item::Start, Bus(arguments.Take("the bus of the slot to start"))};
    std::vector<std::pair<std::string, MenuPick::Item>> items = {
        {"stop", MenuPick::Item::Stop}, {"settings", MenuPick::Item::Settings}, {"about", MenuPick::Item::About},
        {"exit", MenuPick::Item::Exit}, {"start", MenuPick::Item::Start},
    };
    if (noneAllowed) items.emplace_back("none", MenuPick::Item::None);
    return {OneOf(item, items, "the menu item"), 0};
}

struct VerbInfo {
    Verb verb;
    const char* usage;
    const char* meaning;
    std::function<void(Arguments&, Command&)> parse;
};

const std::map<std::string, VerbInfo>& Verbs() {
    static const std::map<std::string, VerbInfo> verbs = [] {
        std::map<std::string, VerbInfo> v;
        const auto add = [&](const char* name, Verb verb, const char* usage, const char* meaning,
                             std::function<void(Arguments&, Command&)> parse) {
            v.emplace(name, VerbInfo{verb, usage, meaning, std::move(parse)});
        };
        const auto nothing = [](Arguments& a, Command&) { a.End(); };
        const auto bus = [](Arguments& a, Command& c) {
            c.bus = Bus(a.Take("the bus"));
            a.End();
        };
        const auto oneText = [](Arguments& a, Command& c) {
            c.text = a.Take("the text");
            a.End();
        };

        add("step", Verb::Step, "step TITLE...", "announces the next step; expectations look at what happens after it",
            [](Arguments& a, Command& c) {
                c.text = a.Rest();
                if (c.text.empty()) throw Refusal{"the step's title is missing"};
            });
        add("slot", Verb::Slot, "slot BUS [no-filter]",
            "before start: an adapter whose slot bridge is on BUS; no-filter leaves QN38UP off its root port",
            [](Arguments& a, Command& c) {
                c.bus = Bus(a.Take("the bus"));
                if (!a.Empty()) c.flag = OneOf<bool>(a.Take(""), {{"no-filter", true}}, "the option");
                a.End();
            });
        add("driver-key", Verb::DriverKey, "driver-key DEFLEN STARTADRS ENDADRS  or  driver-key no-driver",
            "the filter driver's key with its memory-window values, in bytes; no-driver: the key is absent (the "
            "driver is not installed)",
            [](Arguments& a, Command& c) {
                const std::string& first = a.Take("DefLen");
                if (first == "no-driver") {
                    c.flag = true;
                    return a.End();
                }
                c.values[0] = static_cast<std::uint32_t>(Number(first, 0, 0xFFFFFFFF, "DefLen"));
                c.values[1] = static_cast<std::uint32_t>(Number(a.Take("StartAdrs"), 0, 0xFFFFFFFF, "StartAdrs"));
                c.values[2] = static_cast<std::uint32_t>(Number(a.Take("EndAdrs"), 0, 0xFFFFFFFF, "EndAdrs"));
                a.End();
            });
        add("fail-read", Verb::FailRead, "fail-read BUS OFFSET [TIMES]",
            "the dump device refuses the next TIMES reads (1 unless given) of that register on BUS",
            [](Arguments& a, Command& c) {
                c.bus = Bus(a.Take("the bus"));
                c.values[0] = static_cast<std::uint32_t>(Number(a.Take("the offset"), 0, 0xFC, "the offset"));
                c.count = a.Empty() ? 1 : static_cast<int>(Number(a.Take("the reads"), 1, 1000, "the reads"));
                a.End();
            });
        add("fail-scan", Verb::FailScan, "fail-scan [TIMES]",
            "the next TIMES builds (1 unless given) of the PCI device set fail, as while Plug and Play is busy",
            [](Arguments& a, Command& c) {
                c.count = a.Empty() ? 1 : static_cast<int>(Number(a.Take("the scans"), 1, 1000, "the scans"));
                a.End();
            });
        add("session", Verb::Session, "session N",
            "the tool commands that follow act on the tool of logged-on user N (1 to 4; 1 at first), on the same PC "
            "and service",
            [](Arguments& a, Command& c) {
                c.count = static_cast<int>(Number(a.Take("the user"), 1, 4, "the user"));
                a.End();
            });
        add("start", Verb::Start, "start", "the tray tool starts (the service is already running)", nothing);
        add("insert", Verb::Insert,
            "insert BUS [serial] [disk LETTER [raw]|folder PATH|volume|cdrom LETTER]... [needs "
            "link-cycle|device-cycle] [training N|MSms] [answers MSms] [installs MSms] [linger MSms] [problem CODE] "
            "[name TEXT]",
            "a card goes into the slot; the poller notices it on its next pass. serial: its function is a serial "
            "port. Each disk has one volume: lettered (raw: without a file system the PC can read), mounted in the "
            "folder PATH of another volume, or with no mount point at all; cdrom: an optical drive with a disc. "
            "training: its link trains for MS once enabled; answers: then it answers configuration reads only after "
            "MS more; installs: Windows installs its driver, and it starts MS after its devnode appears",
            [](Arguments& a, Command& c) {
                c.bus = Bus(a.Take("the bus"));
                while (!a.Empty()) {
                    const std::string& option = a.Take("the option");
                    if (option == "disk") {
                        c.card.disks.push_back({.letter = DriveLetter(a.Take("the disk's drive letter"), 'A')});
                    } else if (option == "raw") {
                        if (c.card.disks.empty() || c.card.disks.back().letter == 0 || c.card.disks.back().optical) {
                            throw Refusal{"raw follows a disk LETTER"};
                        }
                        c.card.disks.back().raw = true;
                    } else if (option == "cdrom") {
                        c.card.disks.push_back(
                            {.letter = DriveLetter(a.Take("the disc's drive letter"), 'A'), .optical = true});
                    } else if (option == "serial") {
                        c.card.serial = true;
                    } else if (option == "folder") {
                        c.card.disks.push_back({.folder = FolderPath(a.Take("the folder"))});
                    } else if (option == "volume") {
                        c.card.disks.push_back({});
                    } else if (option == "needs") {
                        const bool link = OneOf<bool>(a.Take("what the card needs"),
                                                      {{"link-cycle", true}, {"device-cycle", false}}, "needs");
                        (link ? c.card.needsLinkCycle : c.card.needsDeviceCycle) = true;
                    } else if (option == "training") {
                        // A count of re-enumerations, or a time on the simulated clock.
                        const std::string& training = a.Take("the training count or time");
                        if (training.size() > 2 && training.ends_with("ms")) {
                            c.card.trainingMilliseconds = Milliseconds(training, "training");
                        } else {
                            c.card.trainingReenumerations = static_cast<int>(Number(training, 0, 100000, "training"));
                        }
                    } else if (option == "answers") {
                        c.card.answerMilliseconds = Milliseconds(a.Take("the time until it answers"), "answers");
                    } else if (option == "installs") {
                        c.card.installMilliseconds = Milliseconds(a.Take("the driver's install time"), "installs");
                    } else if (option == "linger") {
                        c.card.lingerMilliseconds = Milliseconds(a.Take("the linger time"), "linger");
                    } else if (option == "problem") {
                        c.card.problem =
                            static_cast<std::uint32_t>(Number(a.Take("the problem code"), 1, 0xFFFF, "problem"));
                    } else if (option == "name") {
                        c.card.name = a.Take("the card's name");
                    } else {
                        throw Refusal{
                            "unknown option \"" + option +
                            "\" (serial, disk, raw, folder, volume, cdrom, needs, training, answers, installs, linger, "
                            "problem or name)"};
                    }
                }
            });
        add("pull", Verb::Pull, "pull BUS", "the card is pulled out of the slot", bus);
        add("eject", Verb::Eject, "eject BUS",
            "Windows' own safe removal: the card's device is held for eject (problem 47), then the device-change "
            "broadcast",
            bus);
        const auto fileVolume = [](Arguments& a, Command& c) {
            const std::string& where = a.Take("the drive letter, folder or volume");
            if (where == "volume") {
                c.bus = Bus(a.Take("the bus of the card whose volume"));
            } else if (where.size() <= 2) {
                c.volume.letter = DriveLetter(where, 'A');
            } else {
                c.volume.folder = FolderPath(where);
            }
            a.End();
        };
        add("open-file", Verb::OpenFile, "open-file LETTER|FOLDER|volume BUS",
            "a program opens a file on the volume with that letter, mounted in that folder, or (volume BUS) on the "
            "card's volume by its GUID path",
            fileVolume);
        add("close-file", Verb::CloseFile, "close-file LETTER|FOLDER|volume BUS", "the program closes its file again",
            fileVolume);
        add("open-device", Verb::OpenDevice, "open-device BUS",
            "a program holds a handle on the card's function, as a terminal program holds a COM port; it does not "
            "close it when Windows asks",
            bus);
        add("close-device", Verb::CloseDevice, "close-device BUS", "the program closes its handle again", bus);
        add("browse", Verb::Browse, "browse LETTER",
            "an Explorer window shows the drive; it closes its handles when Windows asks",
            [](Arguments& a, Command& c) {
                c.volume.letter = DriveLetter(a.Take("the drive letter"), 'A');
                a.End();
            });
        add("lock-volume", Verb::LockVolume, "lock-volume LETTER|FOLDER|volume BUS",
            "another program holds the volume locked, as a disk imager does", fileVolume);
        add("unlock-volume", Verb::UnlockVolume, "unlock-volume LETTER|FOLDER|volume BUS",
            "the program unlocks the volume again", fileVolume);
        add("bad-disk", Verb::BadDisk, "bad-disk BUS",
            "the interface of the card's disk cannot be opened to ask it for its device number", bus);
        add("defer-disable", Verb::DeferDisable, "defer-disable",
            "the class installer cannot stop the next device it is asked to disable or restart and puts it off to the "
            "next boot (DI_NEEDRESTART), as while a file below the device is open",
            nothing);
        add("network-drive", Verb::NetworkDrive, "network-drive LETTER [unreachable]",
            "a mapped network drive; unreachable: its server does not answer, so a size query waits out the "
            "network's timeout",
            [](Arguments& a, Command& c) {
                c.letter = DriveLetter(a.Take("the drive letter"), 'C');
                if (!a.Empty()) c.flag = OneOf<bool>(a.Take(""), {{"unreachable", true}}, "the option");
                a.End();
            });
        add("shell-restart", Verb::ShellRestart, "shell-restart",
            "Explorer restarts: the notification area is new and empty, then TaskbarCreated is broadcast", nothing);
        add("shell-absent", Verb::ShellAbsent, "shell-absent",
            "no notification area (Explorer not up yet at log-on, or crashed): icons are gone, every tray call fails",
            nothing);
        add("shell-ready", Verb::ShellReady, "shell-ready",
            "the notification area comes up and TaskbarCreated is broadcast", nothing);
        add("service", Verb::Service, "service hang|resume",
            "hang: the service takes the next request and answers none until resume", [](Arguments& a, Command& c) {
                c.flag = OneOf<bool>(a.Take("hang or resume"), {{"hang", true}, {"resume", false}}, "the service");
                a.End();
            });
        add("click", Verb::Click, "click left|right", "the user clicks the tray icon; the menu opens (see choose)",
            [](Arguments& a, Command& c) {
                c.flag = OneOf<bool>(a.Take("the button"), {{"left", false}, {"right", true}}, "the button");
                a.End();
            });
        add("choose", Verb::Choose, "choose stop BUS|start BUS|settings|about|exit|none",
            "what the user picks in the next menu that opens (none: it is dismissed)", [](Arguments& a, Command& c) {
                c.pick = Pick(a, true);
                a.End();
            });
        add("menu", Verb::Menu, "menu stop BUS|start BUS|settings|about|exit",
            "click and pick in one: stop and start from the left-click menu, the others from the right-click menu",
            [](Arguments& a, Command& c) {
                c.pick = Pick(a, false);
                a.End();
            });
        add("answer", Verb::Answer, "answer yes|no|ok", "the answer to the next message box (unanswered: No, or OK)",
            [](Arguments& a, Command& c) {
                c.answer = OneOf<int>(
                    a.Take("the answer"),
                    {{"yes", tool::IDYES_RESULT}, {"no", tool::IDNO_RESULT}, {"ok", tool::IDOK_RESULT}}, "the answer");
                a.End();
            });
        add("settings", Verb::Settings, "settings [startup on|off] [size HEX] [start HEX] [end HEX] [ok|cancel]",
            "Settings from the tray menu: the texts are typed over the edits (MiB), then OK (or Cancel)",
            [](Arguments& a, Command& c) {
                while (!a.Empty()) {
                    const std::string& option = a.Take("the option");
                    if (option == "startup") {
                        c.settings.startup =
                            OneOf<bool>(a.Take("on or off"), {{"on", true}, {"off", false}}, "startup");
                    } else if (option == "size") {
                        c.settings.size = a.Take("the size");
                    } else if (option == "start") {
                        c.settings.start = a.Take("the start address");
                    } else if (option == "end") {
                        c.settings.end = a.Take("the end address");
                    } else if (option == "ok" || option == "cancel") {
                        c.settings.cancel = option == "cancel";
                        a.End();
                    } else {
                        throw Refusal{"unknown option \"" + option + "\" (startup, size, start, end, ok or cancel)"};
                    }
                }
            });
        add("close-about", Verb::CloseAbout, "close-about", "the user closes the About box with OK", nothing);
        add("device-change", Verb::DeviceChange, "device-change", "Windows broadcasts WM_DEVICECHANGE", nothing);
        add("power", Verb::Power, "power WPARAM LPARAM", "Windows broadcasts WM_POWERBROADCAST",
            [](Arguments& a, Command& c) {
                c.values[0] = static_cast<std::uint32_t>(Number(a.Take("wParam"), 0, 0xFFFFFFFF, "wParam"));
                c.values[1] = static_cast<std::uint32_t>(Number(a.Take("lParam"), INT32_MIN, INT32_MAX, "lParam"));
                a.End();
            });
        add("send", Verb::Send, "send SetStatus BUS STATE LINK CHECK",
            "a client of the current session sends this one request, as a script would", [](Arguments& a, Command& c) {
                OneOf<bool>(a.Take("the command"), {{"SetStatus", true}}, "the command");
                c.bus = Bus(a.Take("the bus"));
                c.values[0] = static_cast<std::uint32_t>(Number(a.Take("stateChange"), 0, 0xFF, "stateChange"));
                c.values[1] = static_cast<std::uint32_t>(Number(a.Take("linkEnable"), 0, 0xFF, "linkEnable"));
                c.values[2] = static_cast<std::uint32_t>(Number(a.Take("checkDisks"), 0, 0xFF, "checkDisks"));
                a.End();
            });
        add("sleep", Verb::Sleep, "sleep", "the PC suspends, with the suspend broadcast; no pass runs until the wake",
            nothing);
        add("wake", Verb::Wake, "wake [reset-link]",
            "the PC resumes, with its broadcasts; reset-link: the slot bridges come back with Link Disable clear",
            [](Arguments& a, Command& c) {
                if (!a.Empty()) c.flag = OneOf<bool>(a.Take(""), {{"reset-link", true}}, "the option");
                a.End();
            });
        add("restart-service", Verb::RestartService, "restart-service",
            "the service ends and starts again, as after a crash and its recovery", nothing);
        add("wait", Verb::Wait, "wait [PASSES]", "the poller makes PASSES passes (2 unless given), the window serving",
            [](Arguments& a, Command& c) {
                c.count = a.Empty() ? 2 : static_cast<int>(Number(a.Take("the passes"), 1, 1000, "the passes"));
                a.End();
            });
        add("expect-balloon", Verb::ExpectBalloon,
            "expect-balloon please-wait|stopped|stop-failed|started|start-failed [NAME [held-by HOLDER]]  or  "
            "expect-balloon \"TEXT\"",
            "a balloon of that kind (for that card, with a line naming who holds it) or with that text was shown in "
            "this step",
            [](Arguments& a, Command& c) {
                const std::string& first = a.Take("the balloon's kind or text");
                for (const auto& [kind, id] : BalloonKinds()) {
                    if (first == kind) c.stringId = id;
                }
                if (c.stringId == 0) {
                    c.text = first;
                } else if (!a.Empty()) {
                    c.name = a.Take("the card's name");
                    if (!a.Empty()) {
                        OneOf<bool>(a.Take(""), {{"held-by", true}}, "the option");
                        c.holder = a.Take("the holder");
                    }
                }
                a.End();
            });
        add("expect-no-balloon", Verb::ExpectNoBalloon, "expect-no-balloon", "no balloon was shown in this step",
            nothing);
        add("expect-icon", Verb::ExpectIcon, "expect-icon card|busy|no-card|none",
            "the tray icon shows now (none: it is not in the notification area)", [](Arguments& a, Command& c) {
                c.icon = OneOf<TrayIcon>(a.Take("the icon"),
                                         {{"card", TrayIcon::Card},
                                          {"busy", TrayIcon::Busy},
                                          {"no-card", TrayIcon::NoCard},
                                          {"none", TrayIcon::None}},
                                         "the icon");
                a.End();
            });
        add("expect-message", Verb::ExpectMessage,
            "expect-message filter-registered|filter-not-registered|memory-changed|bad-hex-number|window-too-small|"
            "size-is-zero",
            "that message box was shown in this step", [](Arguments& a, Command& c) {
                c.stringId = OneOf(a.Take("the message"), MessageKinds(), "the message");
                a.End();
            });
        add("expect-request", Verb::ExpectRequest, "expect-request TEXT",
            "the service performed that request in this step, as shown, e.g. \"SetStatus(0x05,0,0,1)=0\"", oneText);
        add("expect-card", Verb::ExpectCard, "expect-card BUS present|absent",
            "the card's device is (not) in the Plug and Play tree", [](Arguments& a, Command& c) {
                c.bus = Bus(a.Take("the bus"));
                c.flag = OneOf<bool>(a.Take("present or absent"), {{"present", true}, {"absent", false}}, "the state");
                a.End();
            });
        add("expect-link", Verb::ExpectLink, "expect-link BUS enabled|disabled", "the slot's link is (not) disabled",
            [](Arguments& a, Command& c) {
                c.bus = Bus(a.Take("the bus"));
                c.flag =
                    OneOf<bool>(a.Take("enabled or disabled"), {{"enabled", true}, {"disabled", false}}, "the state");
                a.End();
            });
        add("expect-log", Verb::ExpectLog, "expect-log TEXT", "an entry of QN38.LOG (the file on disk) contains TEXT",
            oneText);
        add("expect-restart", Verb::ExpectRestart, "expect-restart yes|no", "Windows was (not) asked to restart",
            [](Arguments& a, Command& c) {
                c.flag = OneOf<bool>(a.Take("yes or no"), {{"yes", true}, {"no", false}}, "the restart");
                a.End();
            });
        add("log", Verb::Log, "log", "decodes QN38.LOG and prints it, oldest entry first", nothing);
        add("help", Verb::Help, "help", "this list", nothing);
        add("quit", Verb::Quit, "quit", "ends the run here", nothing);
        return v;
    }();
    return verbs;
}

}  // namespace

ParsedLine ParseScenarioLine(std::string_view text, int line) {
    ParsedLine parsed;
    try {
        Command command;
        command.line = line;
        const Words words = Tokenize(text, command.source);
        if (words.empty()) return parsed;
        const auto verb = Verbs().find(words[0]);
        if (verb == Verbs().end()) throw Refusal{"unknown command \"" + words[0] + "\" (help lists them)"};
        command.verb = verb->second.verb;
        Arguments arguments(words);
        try {
            verb->second.parse(arguments, command);
        } catch (const Refusal& refusal) {
            throw Refusal{words[0] + ": " + refusal.message + "; usage: " + verb->second.usage};
        }
        parsed.command = std::move(command);
    } catch (const Refusal& refusal) {
        parsed.error = ScenarioError{line, refusal.message};
    }
    return parsed;
}

ParsedScenario ParseScenario(std::string_view text) {
    ParsedScenario scenario;
    int line = 0;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        ++line;
        ParsedLine parsed = ParseScenarioLine(text.substr(begin, end - begin), line);
        if (parsed.error) scenario.errors.push_back(std::move(*parsed.error));
        if (parsed.command) scenario.commands.push_back(std::move(*parsed.command));
        begin = end + 1;
    }
    return scenario;
}

std::string ScenarioHelp() {
    // In the order a scenario uses them, not alphabetically.
    static const std::vector<std::string> order = {
        "step",
        "slot",
        "driver-key",
        "fail-read",
        "fail-scan",
        "session",
        "start",
        "insert",
        "pull",
        "eject",
        "open-file",
        "close-file",
        "open-device",
        "close-device",
        "browse",
        "lock-volume",
        "unlock-volume",
        "bad-disk",
        "defer-disable",
        "network-drive",
        "shell-restart",
        "shell-absent",
        "shell-ready",
        "service",
        "click",
        "choose",
        "menu",
        "answer",
        "settings",
        "close-about",
        "device-change",
        "power",
        "send",
        "sleep",
        "wake",
        "restart-service",
        "wait",
        "expect-balloon",
        "expect-no-balloon",
        "expect-icon",
        "expect-message",
        "expect-request",
        "expect-card",
        "expect-link",
        "expect-log",
        "expect-restart",
        "log",
        "help",
        "quit",
    };
    std::string help;
    for (const auto& name : order) {
        const auto& info = Verbs().at(name);
        help += "  " + std::string(info.usage) + "\n      " + info.meaning + "\n";
    }
    return help;
}

}  // namespace qn38::sim
