// What the tray shows, written to a console as it happens: the icon, every
// balloon with its title, text and icon, the menus as they open and what was
// picked, message boxes with their answers, and the requests the service
// performed. Lines come from the window's thread, the poller and the
// service's replies alike; each is written whole.
#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>

#include "sim/tool/sim_tray_tool.h"

namespace qn38::sim {

class ConsoleView {
public:
    // `verbose` adds the poller's routine link requests and the window's
    // hide and show calls; `user` comes before the tags of what this tool
    // shows ("user 2 "), empty for the first user's.
    ConsoleView(std::ostream& out, SimTrayTool& tool, bool verbose, std::string user = {});
    ~ConsoleView();
    ConsoleView(const ConsoleView&) = delete;
    ConsoleView& operator=(const ConsoleView&) = delete;

    // A line of the simulator's own at the margin (step headings), and one
    // indented under the current step (the commands as written, notes).
    void Heading(std::string_view text);
    void Command(std::string_view text);
    void Event(std::string_view tag, std::string_view text);
    // Multi-line text: the first line after the tag, the others beneath it.
    void Block(std::string_view tag, std::string_view text);

    // Menus that opened since the last call; the menu fake records a menu only
    // after announcing it, so they are written before whatever follows them.
    void FlushMenus();

    // The user sees the icon call by call; a test reads what was written.
    static std::string IconName(std::uint32_t iconId);

private:
    void OnLine(const std::string& line);
    void ShowTray(const TrayCall& call);
    void ShowMessageBox(const ShownMessageBox& box);
    void Write(const std::string& text);
    bool OnWindowThread() const { return std::this_thread::get_id() == windowThread_; }

    std::ostream& out_;
    SimTrayTool& tool_;
    const std::string user_;
    const bool verbose_;
    const std::thread::id windowThread_;
    std::mutex mutex_;             // the counters below; every view's writes share one lock of their own
    std::size_t trayCalls_ = 0;    // tray calls already shown
    std::size_t menus_ = 0;        // menus already shown
    std::uint32_t iconShown_ = 0;  // the icon last shown, 0 while none is in the notification area
};

}  // namespace qn38::sim
