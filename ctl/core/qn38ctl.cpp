#include "ctl/core/qn38ctl.h"

#include <charconv>
#include <cstdio>
#include <optional>

#include "lib/logreader/code_page.h"
#include "lib/core/diagnostic_log.h"
#include "lib/core/log_layout.h"
#include "tool/core/main_window_resources.h"
#include "lib/core/pci_config.h"
#include "tool/core/settings_dialog.h"
#include "tool/core/tool_text.h"
#include "lib/logreader/log_listing.h"

namespace qn38::ctl {
namespace {

using tool::Utf8FromUtf16;

constexpr const char* USAGE =
    "usage: qn38ctl status [--json]\n"
    "       qn38ctl stop BUS\n"
    "       qn38ctl start BUS\n"
    "       qn38ctl log [--code-page N] [--salvage]\n"
    "  BUS is the slot's bus number, decimal or hexadecimal after 0x (qn38ctl status lists them)\n";

// What wsprintfW writes at most, as the tool's texts are rendered.
constexpr std::size_t MESSAGE_CHARACTERS = 1023;
constexpr std::uint32_t LAST_BUS = 0xFF;

std::optional<std::uint32_t> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string JsonString(std::u16string_view text) {
    std::string out = "\"";
    for (const char character : Utf8FromUtf16(text)) {
        const auto byte = static_cast<unsigned char>(character);
        if (character == '"' || character == '\\') {
            out += '\\';
            out += character;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += character;
        }
    }
    return out + "\"";
}

const char* StateName(ServiceState state) {
    switch (state) {
    case ServiceState::Running:
        return "running";
    case ServiceState::Stopped:
        return "stopped";
    case ServiceState::Absent:
        break;
    }
    return "absent";
}

struct SlotView {
    std::uint8_t bus = 0;
    bool present = false;
    std::optional<bool> linkEnabled;  // nothing when the link register could not be read
    bool hasDevice = false;
    std::u16string description;
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
};

// The slots as the tool discovers them: every bus whose slot bridge answers.
std::vector<SlotView> ReadSlots(tool::SlotQueries& slots, SlotRegisters& registers) {
    std::vector<SlotView> found;
    for (std::uint32_t bus = 0; bus <= LAST_BUS; ++bus) {
        std::uint32_t present = 0;
        if (slots.GetStatus(bus, &present) == 0) continue;
        SlotView view;
        view.bus = static_cast<std::uint8_t>(bus);
        view.present = present != 0;
        std::uint32_t link = 0;
        if (registers.ReadPCI(bus, CONFIG_LINK, &link) != 0) view.linkEnabled = (link & LINK_DISABLE) == 0;
        char16_t description[tool::DESCRIPTION_CHARACTERS] = {};
        view.hasDevice = slots.GetCardInfo(bus, description, sizeof description, &view.status, &view.problem) != 0;
        view.description = std::u16string(tool::DescriptionIn(description, tool::DESCRIPTION_CHARACTERS));
        found.push_back(std::move(view));
    }
    return found;
}

std::string LinkName(const std::optional<bool>& enabled) {
    if (!enabled) return "unknown";
    return *enabled ? "enabled" : "disabled";
}

CtlResult Status(bool json, const CtlPorts& ports) {
    const ServiceState state = ports.installed.State();
    const bool filter = ports.work.slots.DoesExistNoFilterRootPort() == 0;
    const auto window = ReadStoredWindow(ports.registry);
    const std::vector<SlotView> slots = ReadSlots(ports.work.slots, ports.registers);

    CtlResult result;
    std::string& out = result.out;
    if (json) {
        out += "{\"service\": \"" + std::string(StateName(state)) + "\", \"filter\": " + (filter ? "true" : "false");
        out += ", \"window\": ";
        if (window) {
            out += "{\"size\": " + std::to_string(window->defLen) +
                   ", \"start\": " + std::to_string(window->startAdrs) +
                   ", \"end\": " + std::to_string(window->endAdrs) + "}";
        } else {
            out += "null";
        }
        out += ", \"slots\": [";
        for (std::size_t index = 0; index < slots.size(); ++index) {
            const SlotView& slot = slots[index];
            if (index != 0) out += ", ";
            out += "{\"bus\": " + std::to_string(slot.bus) + ", \"present\": " + (slot.present ? "true" : "false");
            out += ", \"link\": " + (slot.linkEnabled ? "\"" + LinkName(slot.linkEnabled) + "\"" : "null");
            out += ", \"device\": ";
            if (slot.hasDevice) {
                out += "{\"description\": " + JsonString(slot.description) +
                       ", \"status\": " + std::to_string(slot.status) +
                       ", \"problem\": " + std::to_string(slot.problem) + "}";
            } else {
                out += "null";
            }
            out += "}";
        }
        out += "]}\n";
        return result;
    }

    out += "service: " + std::string(StateName(state)) + "\n";
    out += filter ? "filter: on every root port of the adapter\n" : "filter: missing on a root port of the adapter\n";
    if (window) {
        out += "window: size " + Hex(window->defLen, 8) + ", start " + Hex(window->startAdrs, 8) + ", end " +
               Hex(window->endAdrs, 8) + "\n";
    } else {
        out += "window: none (the filter driver is not installed)\n";
    }
    if (slots.empty()) out += "slots: none found\n";
    for (const SlotView& slot : slots) {
        out += "slot " + Hex(slot.bus, 2) + ": " + (slot.present ? "card in" : "empty") + ", link " +
               LinkName(slot.linkEnabled) + ", ";
        if (slot.hasDevice) {
            out += "device \"" + Utf8FromUtf16(slot.description) + "\" (status " + Hex(slot.status, 8) + ", problem " +
                   std::to_string(slot.problem) + ")\n";
        } else {
            out += "no device\n";
        }
    }
    return result;
}

// A refused stop's message names the card's holder on a line of its own.
std::string Message(const CtlPorts& ports, std::uint32_t stringId, const std::u16string& description,
                    std::u16string_view holder = {}) {
    const std::u16string name = tool::CardName(description);
    std::u16string text = tool::FormatWithText(ports.strings.Load(stringId), name.c_str(), MESSAGE_CHARACTERS);
    if (!holder.empty()) {
        text = tool::WithHolderLine(std::move(text), ports.strings.Load(IDS_STOP_HOLDER), holder, MESSAGE_CHARACTERS);
    }
    return Utf8FromUtf16(text) + "\n";
}

CtlResult Unreachable() {
    return {EXIT_NO_SERVICE, "", "qn38ctl: the service QN38HotPlugService could not be reached\n"};
}

// A bus the tool would list as a slot; the command is refused otherwise.
std::optional<std::uint8_t> SlotBus(const std::string& argument, const CtlPorts& ports, CtlResult& refusal) {
    const auto bus = ParseNumber(argument);
    if (!bus || *bus > LAST_BUS) {
        refusal = {EXIT_USAGE, "", "qn38ctl: " + argument + " is no bus number\n" + USAGE};
        return std::nullopt;
    }
    std::uint32_t present = 0;
    if (ports.work.slots.GetStatus(*bus, &present) == 0) {
        refusal = {EXIT_USAGE, "", "qn38ctl: bus " + Hex(*bus, 2) + " holds no slot of the adapter\n"};
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(*bus);
}

// A stop or a start: the tool's slot work, told in the tool's balloon texts.
CtlResult Change(const std::string& argument, const CtlPorts& ports,
                 tool::SlotOutcome (tool::SlotWork::*change)(std::uint8_t), std::uint32_t succeeded,
                 std::uint32_t failed) {
    CtlResult result;
    const auto bus = SlotBus(argument, ports, result);
    if (!bus) return result;
    tool::SlotWork work(ports.work);
    const std::uint64_t unanswered = ports.work.service.UnansweredExchanges();
    const tool::SlotOutcome outcome = (work.*change)(*bus);
    if (outcome.succeeded) return {EXIT_DONE, Message(ports, succeeded, outcome.description), ""};
    // A refusal is the service's answer; no answer is no refusal.
    if (ports.work.service.UnansweredExchanges() != unanswered) return Unreachable();
    return {EXIT_REFUSED, Message(ports, failed, outcome.description, outcome.holder()), ""};
}

CtlResult Log(const std::vector<std::string>& options, const CtlPorts& ports) {
    std::optional<std::uint32_t> codePage = logreader::DefaultCodePage();
    bool salvage = false;
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (options[i] == "--salvage") {
            salvage = true;
        } else if (options[i] == "--code-page" && i + 1 < options.size() && ParseNumber(options[i + 1])) {
            codePage = ParseNumber(options[++i]);
        } else {
            return {EXIT_USAGE, "", USAGE};
        }
    }
    std::unique_ptr<logreader::CodePageDecoder> decoder;
    if (codePage) {
        decoder = logreader::OpenCodePage(*codePage);
        if (!decoder) {
            return {EXIT_USAGE, "",
                    "qn38ctl: code page " + std::to_string(*codePage) + " is not known on this machine\n"};
        }
    }
    // The service writes its log beside its own executable.
    const auto commandLine = ports.installed.BinaryPathName();
    const std::u16string path = commandLine ? LogPathBeside(ExecutableOfCommandLine(*commandLine)) : u"";
    if (path.empty()) return {EXIT_NO_SERVICE, "", "qn38ctl: the service QN38HotPlugService is not installed\n"};
    const std::string name = Utf8FromUtf16(path);
    const auto bytes = ports.files.Read(path, LOG_FILE_MAX_BYTES);
    if (!bytes) return {EXIT_USAGE, "", "qn38ctl: " + name + ": cannot be read\n"};
    auto listed = logreader::ListLog(*bytes, salvage, decoder.get(), "qn38ctl", name);
    return {listed.status == 0 ? EXIT_DONE : EXIT_REFUSED, std::move(listed.listing), std::move(listed.messages)};
}

}  // namespace

std::u16string ExecutableOfCommandLine(std::u16string_view commandLine) {
    if (commandLine.starts_with(u'"')) {
        const std::size_t end = commandLine.find(u'"', 1);
        return std::u16string(commandLine.substr(1, end == std::u16string_view::npos ? end : end - 1));
    }
    // An unquoted path may hold blanks ("C:\Program Files\..."): it ends at
    // the program's extension.
    for (std::size_t at = 0; at + 4 <= commandLine.size(); ++at) {
        std::u16string extension(commandLine.substr(at, 4));
        for (auto& unit : extension) {
            if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
        }
        if (extension == u".exe" && (at + 4 == commandLine.size() || commandLine[at + 4] == u' ')) {
            return std::u16string(commandLine.substr(0, at + 4));
        }
    }
    return std::u16string(commandLine.substr(0, commandLine.find(u' ')));
}

CtlResult RunCtl(const std::vector<std::string>& arguments, const CtlPorts& ports) {
    const std::size_t count = arguments.size();
    const std::string command = count == 0 ? "" : arguments[0];
    if (command == "status" && count == 1) return Status(false, ports);
    if (command == "status" && count == 2 && arguments[1] == "--json") return Status(true, ports);
    if (command == "stop" && count == 2) {
        return Change(arguments[1], ports, &tool::SlotWork::StopCard, IDS_STOPPED, IDS_STOP_FAILED);
    }
    if (command == "start" && count == 2) {
        // The user's own start: it brings back a card stopped before, too.
        return Change(arguments[1], ports, &tool::SlotWork::StartStoppedCard, IDS_STARTED, IDS_START_FAILED);
    }
    if (command == "log") return Log({arguments.begin() + 1, arguments.end()}, ports);
    return {EXIT_USAGE, "", USAGE};
}

}  // namespace qn38::ctl
