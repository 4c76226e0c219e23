// What the tray tests share: bounded waits, the tray of Wine's explorer, and
// the requests to run_tool_test.sh for what only the display can do.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qn38::traytest {

using namespace std::chrono_literals;

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// The top-level windows for which `wanted` holds, in EnumWindows' order.
inline std::vector<HWND> TopLevelWindows(const std::function<bool(HWND)>& wanted) {
    struct Search {
        const std::function<bool(HWND)>* wanted;
        std::vector<HWND> found;
    } search{&wanted, {}};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* search = reinterpret_cast<Search*>(context);
            if ((*search->wanted)(window)) search->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

inline DWORD ProcessOf(HWND window) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process;
}

inline std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

inline HWND TrayWindow() { return FindWindowW(nullptr, L"Wine System Tray"); }

inline bool TrayShowsAnIcon() {
    const HWND tray = TrayWindow();
    return tray != nullptr && IsWindowVisible(tray);
}

// Where run_tool_test.sh wants the screenshot, as a Windows path.
inline std::optional<std::wstring> ScreenshotPath() {
    wchar_t unixPath[1024] = {};
    if (GetEnvironmentVariableW(L"QN38_TOOL_SCREENSHOT", unixPath, 1024) == 0) return std::nullopt;
    std::wstring path = std::wstring(L"Z:") + unixPath;
    for (auto& unit : path) unit = unit == L'/' ? L'\\' : unit;
    return path;
}

// Asks the script that runs this test to act on the X display, as the user
// would: "screenshot" (or "screenshot NAME.png", beside the screenshot),
// "left-click X Y", "right-click X Y", or "keys KEY...".
// The script answers by creating `<screenshot>.done`. Without the script
// nothing is done and false comes back.
inline bool AskTheDisplay(const std::string& action) {
    const auto screenshot = ScreenshotPath();
    if (!screenshot) return false;
    const std::wstring& base = *screenshot;
    const std::filesystem::path done(base + L".done");
    std::filesystem::remove(done);
    {
        std::ofstream request(std::filesystem::path(base + L".request.tmp"), std::ios::binary);
        request << action << "\n";
    }
    std::filesystem::rename(std::filesystem::path(base + L".request.tmp"), std::filesystem::path(base + L".request"));
    return WaitUntil([&] { return std::filesystem::exists(done); }, 30s);
}

// A popup menu is a top-level window of the system class "#32768".
inline bool PopupMenuShown() {
    const HWND menu = FindWindowW(L"#32768", nullptr);
    return menu != nullptr && IsWindowVisible(menu);
}

// The middle of the tray's first icon, in screen coordinates.
inline POINT FirstTrayIcon() {
    POINT icon{GetSystemMetrics(SM_CXSMICON) / 2 + 1, GetSystemMetrics(SM_CYSMICON) / 2 + 2};
    ClientToScreen(TrayWindow(), &icon);
    return icon;
}

// Clicks the tray's first icon with the button ("left" or "right") and waits for the menu it opens.
inline bool OpenTrayMenu(const std::string& button) {
    const POINT icon = FirstTrayIcon();
    if (!AskTheDisplay(button + "-click " + std::to_string(icon.x) + " " + std::to_string(icon.y))) return false;
    // The keys go to whatever has the keyboard: only once the menu is there.
    return WaitUntil(PopupMenuShown, 30s);
}

// The text of the balloon the shell shows now, or nothing. Wine's explorer
// shows each balloon as a tooltip control of its own; its text lives in
// explorer's memory, so the tool record and the text buffer are placed there
// for TTM_ENUMTOOLSW to fill, and read back.
inline std::wstring BalloonText() {
    const HWND tray = TrayWindow();
    if (tray == nullptr) return {};
    const DWORD shell = ProcessOf(tray);
    const auto balloons = TopLevelWindows([shell](HWND window) {
        return ProcessOf(window) == shell && _wcsicmp(ClassOf(window).c_str(), TOOLTIPS_CLASSW) == 0 &&
               IsWindowVisible(window) && (GetWindowLongW(window, GWL_STYLE) & TTS_BALLOON) != 0;
    });
    if (balloons.empty()) return {};
    const HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, shell);
    if (process == nullptr) return {};
    struct Remote {
        TTTOOLINFOW tool;
        wchar_t text[1024];
    };
    auto* remote = static_cast<Remote*>(
        VirtualAllocEx(process, nullptr, sizeof(Remote), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    std::wstring text;
    if (remote != nullptr) {
        Remote local{};
        local.tool.cbSize = sizeof local.tool;
        local.tool.lpszText = remote->text;
        if (WriteProcessMemory(process, remote, &local, sizeof local, nullptr) &&
            SendMessageW(balloons.front(), TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(&remote->tool)) != 0 &&
            ReadProcessMemory(process, remote, &local, sizeof local, nullptr)) {
            local.text[1023] = 0;
            text = local.text;
        }
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return text;
}

}  // namespace qn38::traytest
