#include "sim/simulator/console_view.h"

#include "tool/core/ports/message_boxes.h"
#include "tool/res/resource.h"

namespace qn38::sim {
namespace {

constexpr std::string_view EVENT_INDENT = "      ";

std::string BalloonIcon(std::uint32_t flags) {
    switch (flags) {
    case tool::NIIF_INFO_FLAG:
        return "info";
    case tool::NIIF_ERROR_FLAG:
        return "error";
    case tool::NIIF_NONE_FLAG:
        return "no icon";
    default:
        return "icon " + std::to_string(flags);
    }
}

std::string Buttons(std::uint32_t style) {
    std::string buttons = (style & 0x0F) == tool::MB_YESNO_STYLE ? "Yes/No" : "OK";
    switch (style & 0xF0) {
    case tool::MB_ICONERROR_STYLE:
        return buttons + ", error icon";
    case tool::MB_ICONEXCLAMATION_STYLE:
        return buttons + ", exclamation icon";
    default:
        return buttons;
    }
}

std::string AnswerName(int answer) {
    switch (answer) {
    case tool::IDYES_RESULT:
        return "Yes";
    case tool::IDNO_RESULT:
        return "No";
    case tool::IDOK_RESULT:
        return "OK";
    case tool::IDCANCEL_RESULT:
        return "Cancel";
    default:
        return std::to_string(answer);
    }
}

}  // namespace

ConsoleView::ConsoleView(std::ostream& out, SimTrayTool& tool, bool verbose, std::string user)
    : out_(out), tool_(tool), user_(std::move(user)), verbose_(verbose), windowThread_(std::this_thread::get_id()) {
    tool_.log.onLine = [this](const std::string& line) { OnLine(line); };
    tool_.messages.whileOpen = [this](const ShownMessageBox& box) { ShowMessageBox(box); };
}

ConsoleView::~ConsoleView() {
    tool_.log.onLine = nullptr;
    tool_.messages.whileOpen = nullptr;
}

std::string ConsoleView::IconName(std::uint32_t iconId) {
    switch (iconId) {
    case IDR_MAINFRAME:
        return "card present";
    case IDI_BUSY:
        return "busy";
    case IDI_NO_CARD:
        return "no card";
    default:
        return "icon " + std::to_string(iconId);
    }
}

void ConsoleView::Write(const std::string& text) {
    // Several users' views write to one console, from their tools' threads.
    static std::mutex written;
    std::lock_guard lock(written);
    out_ << text << std::flush;
}

void ConsoleView::Heading(std::string_view text) { Write("\n" + std::string(text) + "\n"); }

void ConsoleView::Command(std::string_view text) { Write("  > " + std::string(text) + "\n"); }

void ConsoleView::Event(std::string_view tag, std::string_view text) {
    const std::string named = user_ + std::string(tag);
    std::string line = std::string(EVENT_INDENT) + named + ":";
    line.append(named.size() < 12 ? 12 - named.size() : 1, ' ');
    Write(line + std::string(text) + "\n");
}

void ConsoleView::Block(std::string_view tag, std::string_view text) {
    const std::string indent = std::string(EVENT_INDENT) + std::string(14, ' ');
    std::string shown;
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = text.find('\n', begin);
        std::string_view part =
            text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
        if (!part.empty() && part.back() == '\r') part.remove_suffix(1);
        if (begin != 0) shown += "\n" + indent;
        shown += part;
        if (end == std::string_view::npos) break;
        begin = end + 1;
    }
    Event(tag, shown);
}

void ConsoleView::FlushMenus() {
    if (!OnWindowThread()) return;
    const auto& shown = tool_.menus.Shown();
    for (; menus_ < shown.size(); ++menus_) {
        const ShownMenu& menu = shown[menus_];
        std::string items;
        std::string chosen = "dismissed";
        for (const auto& item : menu.items) {
            if (!items.empty()) items += " | ";
            items += item.command == 0 ? std::string("----") : "[" + Utf8FromUtf16(item.text) + "]";
            if (item.command != 0 && item.command == menu.chosen) chosen = "picked [" + Utf8FromUtf16(item.text) + "]";
        }
        if (items.empty()) items = "(no items)";
        Event(menu.mainMenu ? "menu" : "stop menu", items + "  -> " + chosen);
    }
}

void ConsoleView::OnLine(const std::string& line) {
    // The window's thread: a menu it opened earlier comes before this line.
    FlushMenus();
    if (line.starts_with("tray ")) {
        std::optional<TrayCall> call;
        {
            std::lock_guard lock(mutex_);
            const auto calls = tool_.shell.Calls();
            if (trayCalls_ < calls.size()) call = calls[trayCalls_++];
        }
        if (call) ShowTray(*call);
        return;
    }
    if (line.starts_with("service: ")) {
        const std::string request = line.substr(9);
        // Every pass of the poller asks once per slot to keep the link in
        // line with the card: routine, unless it is asked for.
        const bool poller = tool_.window.OnPollerThread();
        if (!verbose_ && poller && request.starts_with("SetStatus(")) return;
        Event(poller ? "service (poller)" : "service", request);
        return;
    }
    if (line.starts_with("menu ") || line.starts_with("message box ") || line.starts_with("settings dialog ")) {
        return;  // shown from the structured records
    }
    if (line == "window shown (About box)") {
        const std::string version = Utf8FromUtf16(tool_.window.ItemText(IDC_VERSION));
        Event("window", "the About box is shown" + (version.empty() ? std::string() : ": \"" + version + "\""));
        return;
    }
    if (line.starts_with("window ")) {
        if (verbose_) Event("window", line.substr(7));
        return;
    }
    if (line == "poller started") {
        Event("poller", "started: every slot's presence bit, every 300 ms");
        return;
    }
    if (line.starts_with("main dialog ended")) {
        Event("window", "the main dialog ends");
        return;
    }
    Event("tool", line);
}

void ConsoleView::ShowTray(const TrayCall& call) {
    if (!call.accepted) {
        Event("tray", "the shell refused the call");
        return;
    }
    if (call.action == tool::TrayAction::Delete) {
        iconShown_ = 0;
        Event("icon", "removed from the notification area");
        return;
    }
    const auto& record = call.record;
    if (call.action == tool::TrayAction::Add) {
        Event("icon", IconName(record.iconId) + " (added, tip \"" + Utf8FromUtf16(record.szTip) + "\")");
    } else if (record.iconId != iconShown_) {
        Event("icon", IconName(record.iconId));
    }
    iconShown_ = record.iconId;
    if (!record.szInfo.empty()) {
        Block("balloon", "(" + BalloonIcon(record.dwInfoFlags) + ") " + Utf8FromUtf16(record.szInfoTitle) + "\n" +
                             Utf8FromUtf16(record.szInfo));
    }
}

void ConsoleView::ShowMessageBox(const ShownMessageBox& box) {
    FlushMenus();
    Block("message box", Utf8FromUtf16(box.caption) + " (" + Buttons(box.style) + ")\n" + Utf8FromUtf16(box.text) +
                             "\n-> " + AnswerName(box.answer));
}

}  // namespace qn38::sim
