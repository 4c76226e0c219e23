// The real tray tool under Wine, with the real service and the emulated dump
// driver providing one slot bridge: start-up, the poller, an insertion, a
// second start, the icon coming back after the shell lost it, and the Exit
// command. Run by run_tool_test.sh under Xvfb in a
// prefix of its own, so the tray shows on this test's display.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "sim/winepc/driver/dump_fixture.h"
#include "tests/wine/service_harness.h"
#include "tests/wine/tool/tray_display.h"

namespace {

using namespace std::chrono_literals;
using qn38::winetest::InstalledService;
using qn38::winetest::ProgramDirectory;
using namespace qn38::wine;
using namespace qn38::traytest;

constexpr std::uint32_t SLOT_BUS = 7;
constexpr DWORD LINK_DISABLE_BIT = 0x10;
constexpr const wchar_t* TITLE = L"QN38EX HotPlug Tool";

// The emulated driver's device is opened without sharing, and the tool and
// the service open it all the time: a control may need a few attempts.
template <typename Call>
auto Retried(Call&& call) {
    for (int attempt = 1;; ++attempt) {
        auto result = call();
        if (result || attempt == 100) return result;
        Sleep(10);
    }
}

std::optional<DumpFixtureState> SlotState() {
    return Retried([] { return DumpFixtureStateNow(); });
}

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

struct ToolWindows {
    int count = 0;
    HWND window = nullptr;
};

bool InAToolProcess(HWND window) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ProcessOf(window));
    if (process == nullptr) return false;
    wchar_t image[MAX_PATH] = {};
    DWORD units = MAX_PATH;
    const bool named = QueryFullProcessImageNameW(process, 0, image, &units) != FALSE;
    CloseHandle(process);
    constexpr std::wstring_view TOOL_IMAGE = L"\\QN38HotPlugTool.exe";
    const std::wstring_view path(image, named ? units : 0);
    return path.size() >= TOOL_IMAGE.size() &&
           _wcsicmp(path.substr(path.size() - TOOL_IMAGE.size()).data(), TOOL_IMAGE.data()) == 0;
}

// The tool's main windows: top-level windows with its title in QN38HotPlugTool
// processes. Another program's window may carry the same title (the settings
// dialog's test shows the tool's dialogs), and must not count.
ToolWindows FindToolWindows() {
    const auto windows = TopLevelWindows([](HWND window) {
        wchar_t title[64] = {};
        GetWindowTextW(window, title, 64);
        return std::wstring(title) == TITLE && InAToolProcess(window);
    });
    return {static_cast<int>(windows.size()), windows.empty() ? nullptr : windows.back()};
}

PROCESS_INFORMATION StartTool() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring line = L"\"" + ProgramDirectory() + L"\\QN38HotPlugTool.exe\"";
    CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, ProgramDirectory().c_str(), &startup,
                   &process);
    return process;
}

class ToolUnderWine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string failure;
        service_ = InstalledService::Install(failure).release();
        if (service_ == nullptr || !service_->Start()) {
            setupFailure_ = "the service did not start: " + failure;
            return;
        }
        fixture_ = new ScopedDumpFixture;
        if (!fixture_->running() || !Retried([] { return SetDumpFixtureSlot(SLOT_BUS); })) {
            setupFailure_ = "the emulated dump driver did not start";
            return;
        }
        tool_ = StartTool();
        if (tool_.hProcess == nullptr) setupFailure_ = "QN38HotPlugTool.exe did not start";
    }

    static void TearDownTestSuite() {
        if (tool_.hProcess != nullptr) {
            if (WaitForSingleObject(tool_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(tool_.hProcess, 1);
            CloseHandle(tool_.hProcess);
            CloseHandle(tool_.hThread);
        }
        delete fixture_;
        delete service_;
    }

    void SetUp() override {
        if (!setupFailure_.empty()) GTEST_FAIL() << setupFailure_;
    }

    static std::string Log() { return ReadFileBytes(service_->directory() + L"\\QN38.LOG"); }
    static bool LogHas(const std::string& text) { return Log().find(text) != std::string::npos; }
    static bool ToolRunning() { return WaitForSingleObject(tool_.hProcess, 0) == WAIT_TIMEOUT; }

    static InstalledService* service_;
    static ScopedDumpFixture* fixture_;
    static PROCESS_INFORMATION tool_;
    static std::string setupFailure_;
};

InstalledService* ToolUnderWine::service_ = nullptr;
ScopedDumpFixture* ToolUnderWine::fixture_ = nullptr;
PROCESS_INFORMATION ToolUnderWine::tool_{};
std::string ToolUnderWine::setupFailure_;

TEST_F(ToolUnderWine, StartsWithItsBannerInTheLogAHiddenWindowAndAnIcon) {
    ASSERT_TRUE(WaitUntil([] { return LogHas("-----QN38HotPlugTool Start-----"); }, 30s));
    ASSERT_TRUE(WaitUntil([] { return FindToolWindows().count == 1; }, 30s));
    EXPECT_FALSE(IsWindowVisible(FindToolWindows().window));
    EXPECT_TRUE(WaitUntil(TrayShowsAnIcon, 30s));
    EXPECT_TRUE(ToolRunning());
}

TEST_F(ToolUnderWine, FindsTheSlotsBusAndItsPollerKeepsTheEmptySlotsLinkDown) {
    // Every pass asks the service to keep the empty slot's link disabled.
    ASSERT_TRUE(WaitUntil(
        [] {
            const auto state = SlotState();
            return state && state->writes > 0 && (state->slot.link & LINK_DISABLE_BIT) != 0;
        },
        30s));
    const auto before = SlotState();
    ASSERT_TRUE(before);
    // The poller reads the slot every 300 ms; the counter keeps growing.
    EXPECT_TRUE(WaitUntil(
        [&] {
            const auto now = SlotState();
            return now && now->reads >= before->reads + 6;
        },
        30s));
}

TEST_F(ToolUnderWine, ASecondStartEndsAtOnceWithoutAWindow) {
    PROCESS_INFORMATION second = StartTool();
    ASSERT_NE(second.hProcess, nullptr);
    EXPECT_EQ(WaitForSingleObject(second.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(second.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(second.hProcess);
    CloseHandle(second.hThread);
    EXPECT_EQ(FindToolWindows().count, 1);
    EXPECT_TRUE(ToolRunning());
}

TEST_F(ToolUnderWine, AnInsertedCardRunsTheStartFlowWithItsLogLine) {
    ASSERT_TRUE(Retried([] { return SetDumpFixtureCard(true); }));
    EXPECT_TRUE(WaitUntil([] { return LogHas("LinkEnable(Bus0x07)"); }, 30s));
    // The start flow brought the link up; Wine has no card device to show,
    // so the balloon says the card could not start. The shell shows it after
    // about two seconds.
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(AskTheDisplay("screenshot"));
    if (const auto shot = ScreenshotPath()) {
        EXPECT_TRUE(std::filesystem::exists(*shot));
    }
    EXPECT_TRUE(ToolRunning());
}

// Any logged-on user may take the lock the tools share and keep it: the
// start of an inserted card waits for it off the window's thread, and the
// window answers the session's end at once meanwhile.
TEST_F(ToolUnderWine, AProgramHoldingTheToolsSlotLockLeavesTheWindowAnswering) {
    const HWND window = FindToolWindows().window;
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Retried([] { return SetDumpFixtureCard(false); }));
    std::this_thread::sleep_for(2s);  // the removal is handled, the link down
    const HANDLE lock = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\QN38HotPlugSlots");
    ASSERT_NE(lock, nullptr) << GetLastError();
    ASSERT_EQ(WaitForSingleObject(lock, 30000), WAIT_OBJECT_0);
    const auto held = SlotState();
    ASSERT_TRUE(held);
    ASSERT_TRUE(Retried([] { return SetDumpFixtureCard(true); }));
    std::this_thread::sleep_for(2s);  // the poller has seen the card, its start waits

    DWORD_PTR answer = 0;
    const ULONGLONG asked = GetTickCount64();
    EXPECT_NE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_NORMAL, 5000, &answer), 0);
    EXPECT_LT(GetTickCount64() - asked, 1000u);
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
    // Nothing was changed beside the holder.
    const auto waiting = SlotState();
    ASSERT_TRUE(waiting);
    EXPECT_EQ(waiting->writes, held->writes);

    ReleaseMutex(lock);
    CloseHandle(lock);
    EXPECT_TRUE(WaitUntil(
        [&] {
            const auto now = SlotState();
            return now && now->writes > held->writes;
        },
        30s));
    EXPECT_TRUE(ToolRunning());
}

TEST_F(ToolUnderWine, TheShellsTaskbarCreatedBroadcastBringsALostIconBack) {
    const HWND window = FindToolWindows().window;
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitUntil(TrayShowsAnIcon, 30s));
    // The icon goes as it does when Explorer restarts; the broadcast follows.
    NOTIFYICONDATAW icon{};
    icon.cbSize = NOTIFYICONDATAW_V3_SIZE;
    icon.hWnd = window;
    icon.uID = 11;  // TRAY_ICON_ID
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
    ASSERT_TRUE(WaitUntil([] { return !TrayShowsAnIcon(); }, 30s));
    PostMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(WaitUntil(TrayShowsAnIcon, 30s));
    EXPECT_TRUE(ToolRunning());
}

TEST_F(ToolUnderWine, ExitFromTheTrayMenuEndsTheProcessAndRemovesTheIcon) {
    const HWND tray = TrayWindow();
    ASSERT_NE(tray, nullptr);
    // The icon is the first in the tray's client area; its menu is Settings,
    // About, a separator and Exit, so Up from the top reaches Exit.
    ASSERT_TRUE(OpenTrayMenu("right")) << "no menu after the right click";
    EXPECT_TRUE(AskTheDisplay("screenshot tray-menu.png"));
    ASSERT_TRUE(AskTheDisplay("keys Up Return"));
    EXPECT_EQ(WaitForSingleObject(tool_.hProcess, 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(WaitUntil([] { return !TrayShowsAnIcon(); }, 30s));
    EXPECT_EQ(FindToolWindows().count, 0);
}

}  // namespace

// What Windows sends at a log-off, and Restart Manager when an installer must
// replace the running tool's files: the tool agrees, stays while the end may
// still be cancelled, and ends cleanly once it comes.
TEST_F(ToolUnderWine, EndsAsExitDoesWhenTheSessionOrRestartManagerEndsIt) {
    // An empty slot: no start flow keeps the window's thread busy meanwhile.
    ASSERT_TRUE(Retried([] { return SetDumpFixtureCard(false); }));
    for (const LPARAM reason : {static_cast<LPARAM>(ENDSESSION_CLOSEAPP), static_cast<LPARAM>(ENDSESSION_LOGOFF)}) {
        SCOPED_TRACE(reason == ENDSESSION_CLOSEAPP ? "Restart Manager" : "log-off");
        ASSERT_TRUE(WaitUntil([] { return FindToolWindows().count == 0; }, 30s)) << "an earlier tool still runs";
        PROCESS_INFORMATION tool = StartTool();
        ASSERT_NE(tool.hProcess, nullptr);
        ASSERT_TRUE(WaitUntil([] { return FindToolWindows().count == 1; }, 30s));
        ASSERT_TRUE(WaitUntil(TrayShowsAnIcon, 30s));
        const HWND window = FindToolWindows().window;

        DWORD_PTR answer = 0;
        ASSERT_NE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, reason, SMTO_NORMAL, 60000, &answer), 0);
        EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
        // Another program refused: the end is called off.
        ASSERT_NE(SendMessageTimeoutW(window, WM_ENDSESSION, FALSE, reason, SMTO_NORMAL, 60000, &answer), 0);
        EXPECT_EQ(WaitForSingleObject(tool.hProcess, 2000), static_cast<DWORD>(WAIT_TIMEOUT)) << "ended too early";
        EXPECT_TRUE(TrayShowsAnIcon());

        // The poller is awaited inside the message, which returns within the poller's bound.
        EXPECT_NE(SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, reason, SMTO_NORMAL, 120000, &answer), 0);
        EXPECT_EQ(WaitForSingleObject(tool.hProcess, 30000), WAIT_OBJECT_0);
        DWORD exitCode = 1;
        GetExitCodeProcess(tool.hProcess, &exitCode);
        EXPECT_EQ(exitCode, 0u);
        EXPECT_TRUE(WaitUntil([] { return !TrayShowsAnIcon(); }, 30s));
        if (WaitForSingleObject(tool.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(tool.hProcess, 1);
        CloseHandle(tool.hProcess);
        CloseHandle(tool.hThread);
    }
}
