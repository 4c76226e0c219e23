// The whole job of the installed product on the emulated PC: the x64
// package installed with Wine's Windows Installer, the emulated machine put
// in by qn38-wine-pc without the filter, and the installed tool and service
// doing, on their own Plug and Play code, what a user sees. The tests run in
// order; each starts from what the one before left. Run by
// tool/run_tool_test.sh on a display and in a prefix of their own.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sim/winepc/machine.h"
#include "tests/wine/service_harness.h"
#include "tests/wine/tool/tray_display.h"

namespace {

using namespace qn38::traytest;
using namespace qn38::winepc;
using qn38::winetest::ProgramDirectory;
using qn38::winetest::RunProcess;

constexpr std::uint32_t BUS = 7;
constexpr DWORD LINK_DISABLE = 0x10;
constexpr const wchar_t* CARD_NAME = L"QN38 Test SATA Card";

std::wstring InstallDirectory() {
    wchar_t programFiles[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    return std::wstring(programFiles) + L"\\QN38HotPlug";
}

const std::wstring PACKAGE = std::wstring(QN38_PACKAGE_DIR) + L"\\QN38HotPlug-" + QN38_VERSION + L"-x64.msi";

DWORD RunCommand(const std::wstring& line, DWORD timeoutMs = 180000) {
    const auto run = RunProcess(line, timeoutMs);
    if (!run.output.empty()) std::fprintf(stderr, "%s", run.output.c_str());
    return run.finished ? run.exitCode : WAIT_TIMEOUT;
}

DWORD WinePc(const std::wstring& arguments) {
    return RunCommand(L"\"" + ProgramDirectory() + L"\\qn38-wine-pc.exe\" " + arguments, 60000);
}

// What `qn38-wine-pc state` prints, as a person following the run reads it.
std::string PcState() { return RunProcess(L"\"" + ProgramDirectory() + L"\\qn38-wine-pc.exe\" state", 60000).output; }
bool StateHas(const std::string& state, const std::string& line) {
    return state.find("\n" + line) != std::string::npos || state.rfind(line, 0) == 0;
}
// A count of the state's "requests" line.
long StateCount(const std::string& state, const std::string& name) {
    const std::size_t at = state.find(" " + name + " ");
    return at == std::string::npos ? -1 : std::strtol(state.c_str() + at + name.size() + 2, nullptr, 10);
}

// Watches the machine's state for `span`: false, with the state that
// showed it, once the link is up.
bool LinkStaysDisabled(std::chrono::milliseconds span, std::string& state) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
        // A state query that printed nothing (the emulated machine busy for
        // the moment) says nothing about the link.
        const std::string now = PcState();
        if (now.empty()) continue;
        state = now;
        if (!StateHas(state, "link-disable 1")) return false;
    }
    return true;
}

// The installed service again, so that it starts on the emulated machine.
bool RestartService() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        OpenServiceW(manager, L"QN38HotPlugService", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    CloseServiceHandle(manager);
    if (service == nullptr) return false;
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    const auto reached = [&](DWORD state) {
        return WaitUntil([&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == state; }, 30s);
    };
    const bool restarted = reached(SERVICE_STOPPED) && StartServiceW(service, 0, nullptr) && reached(SERVICE_RUNNING);
    CloseServiceHandle(service);
    return restarted;
}

std::string Log() {
    std::ifstream file(std::filesystem::path(InstallDirectory() + L"\\QN38.LOG"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
bool LogHas(const std::string& text) { return Log().find(text) != std::string::npos; }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

Snapshot MachineNow() { return MachineLink::Now().value_or(Snapshot{}); }
bool CardDevice() { return MachineNow().Present(DUMP_FIXTURE_NODE_CARD); }
bool LinkDisabled() { return (MachineNow().machine.slot.link & LINK_DISABLE) != 0; }

std::wstring RootPortFilters() {
    const auto filters = MachineLink::Filters(DUMP_FIXTURE_NODE_ROOT_PORT);
    if (!filters || filters->bytes == DUMP_FIXTURE_NO_VALUE) return L"(none)";
    return std::wstring(reinterpret_cast<const wchar_t*>(filters->data), filters->bytes / sizeof(wchar_t));
}

// A message box of the tool (class #32770) whose text holds `text`.
HWND ToolMessageBox(DWORD tool, const std::wstring& text) {
    const auto boxes = TopLevelWindows([&](HWND window) {
        wchar_t message[512] = {};
        GetDlgItemTextW(window, 0xFFFF, message, 512);  // a message box's text control
        return ProcessOf(window) == tool && ClassOf(window) == L"#32770" &&
               std::wstring(message).find(text) != std::wstring::npos;
    });
    return boxes.empty() ? nullptr : boxes.front();
}

// The installed tool, as a log-on starts it; and its end.
bool StartInstalledTool(PROCESS_INFORMATION& process) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring line = L"\"" + InstallDirectory() + L"\\QN38HotPlugTool.exe\"";
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, InstallDirectory().c_str(),
                          &startup, &process) != FALSE;
}

void EndTool(PROCESS_INFORMATION& process) {
    if (process.hProcess == nullptr) return;
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    process = {};
}

class InstalledProduct : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (RunCommand(L"msiexec.exe /i \"" + PACKAGE + L"\" /qn") != 0) {
            failure_ = "the package did not install";
            return;
        }
        // The filter driver's package owns its service key: without it the
        // filter must not be registered.
        qn38::winetest::CreateDriverKey();
        if (WinePc(L"install --bus " + std::to_wstring(BUS)) != 0 || !RestartService()) {
            failure_ = "the emulated machine did not start under the installed service";
            return;
        }
        if (!StartInstalledTool(tool_)) failure_ = "the installed tool did not start";
    }

    static void TearDownTestSuite() {
        EndTool(tool_);
        WinePc(L"remove");
        RunCommand(L"msiexec.exe /x \"" + PACKAGE + L"\" /qn");
        qn38::winetest::DeleteDriverKey();
    }

    void SetUp() override {
        if (!failure_.empty()) GTEST_FAIL() << failure_;
    }

    static bool ToolRunning() { return WaitForSingleObject(tool_.hProcess, 0) == WAIT_TIMEOUT; }

    static PROCESS_INFORMATION tool_;
    static std::string failure_;
};
PROCESS_INFORMATION InstalledProduct::tool_{};
std::string InstalledProduct::failure_;

TEST_F(InstalledProduct, RegistersTheFilterOnTheRootPortAndAsksForARestart) {
    HWND prompt = nullptr;
    ASSERT_TRUE(
        WaitUntil([&] { return (prompt = ToolMessageBox(tool_.dwProcessId, L"HotPlug driver was registered")); }, 60s))
        << "no restart prompt; the root port's filters: " << RootPortFilters().size();
    EXPECT_EQ(RootPortFilters(), std::wstring(L"QN38UP\0\0", 8));
    // No: the tool goes on without a restart.
    SendMessageW(GetDlgItem(prompt, IDNO), BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return ToolMessageBox(tool_.dwProcessId, L"HotPlug driver") == nullptr; }, 30s));
    EXPECT_TRUE(WaitUntil([] { return LogHas("AddFilter"); }, 30s));
    // The empty slot's link is kept down.
    EXPECT_TRUE(WaitUntil(LinkDisabled, 30s));
    EXPECT_TRUE(ToolRunning());
}

TEST_F(InstalledProduct, StartsAnInsertedCardAndNamesItInTheBalloon) {
    ASSERT_EQ(WinePc(L"insert " + std::to_wstring(BUS) + L" --name \"" + CARD_NAME + L"\" --training 300"), 0u);
    ASSERT_TRUE(WaitUntil(CardDevice, 60s)) << "the card's device never appeared";
    EXPECT_FALSE(LinkDisabled());
    EXPECT_TRUE(WaitUntil([] { return LogHas("LinkEnable(Bus0x07)"); }, 30s));
    // The shell shows each balloon a little after the call, "Please wait." first.
    EXPECT_TRUE(WaitUntil([] { return BalloonText() == L"QN38 Test SATA Card started."; }, 30s))
        << "the balloon shows: " << Narrow(BalloonText());
    EXPECT_TRUE(AskTheDisplay("screenshot tray-balloon.png"));
    EXPECT_TRUE(ToolRunning());
}

qn38::winetest::ProcessResult Ctl(const std::wstring& arguments) {
    return RunProcess(L"\"" + InstallDirectory() + L"\\qn38ctl.exe\" " + arguments, 120000);
}

// A program holding the card's device open refuses the stop: the link stays
// up, and the balloon names what the user knows the held device by. Once
// the handle is closed the same stop goes through.
TEST_F(InstalledProduct, StopsTheCardFromTheLeftClickMenu) {
    ASSERT_EQ(WinePc(L"hold-card " + std::to_wstring(BUS)), 0u);
    // The stop menu holds one item, "Stop <card>.": Down selects it.
    ASSERT_TRUE(OpenTrayMenu("left")) << "no menu after the left click";
    ASSERT_TRUE(AskTheDisplay("keys Down Return"));
    std::wstring shown;
    EXPECT_TRUE(WaitUntil(
        [&] {
            if (const std::wstring now = BalloonText(); !now.empty()) shown = now;
            return shown ==
                   L"QN38 Test SATA Card cannot be stopped.\nPlease retry again after terminating application "
                   L"which use ExpressCard. \nIn use by QN38 Test SATA Card.";
        },
        60s))
        << "the balloon showed: " << Narrow(shown) << "\nthe machine:\n"
        << PcState();
    EXPECT_FALSE(LinkDisabled());
    EXPECT_TRUE(CardDevice());
    EXPECT_TRUE(
        WaitUntil([] { return LogHas("LinkDisable(Bus0x07) vetoed by PNP_VetoOutstandingOpen PCI\\VEN_197B"); }, 30s));
    const auto refused = Ctl(L"stop 7");
    EXPECT_EQ(refused.exitCode, 1u) << refused.output;
    EXPECT_NE(refused.output.find("In use by QN38 Test SATA Card."), std::string::npos) << refused.output;
    EXPECT_FALSE(LinkDisabled());
    ASSERT_EQ(WinePc(L"release-card " + std::to_wstring(BUS)), 0u);

    ASSERT_TRUE(OpenTrayMenu("left")) << "no menu after the left click";
    EXPECT_TRUE(AskTheDisplay("screenshot tray-menu-stop.png"));
    ASSERT_TRUE(AskTheDisplay("keys Down Return"));
    EXPECT_TRUE(WaitUntil(LinkDisabled, 60s));
    EXPECT_TRUE(WaitUntil([] { return !CardDevice(); }, 30s));
    // The report written before the stop has the filter's and the card's entries.
    EXPECT_TRUE(WaitUntil([] { return LogHas("LinkDisable(Bus0x07)"); }, 30s));
    const std::string log = Log();
    EXPECT_NE(log.find("QN38UP\r\nHardwareID:PCI\\VEN_8086&DEV_A110"), std::string::npos);
    EXPECT_NE(log.find("ExpressCard\r\nBus:0X08"), std::string::npos);
    EXPECT_NE(log.find("DeviceDesc:QN38 Test SATA Card"), std::string::npos);
    EXPECT_TRUE(WaitUntil(
        [] { return BalloonText() == L"QN38 Test SATA Card stopped.\nExpressCard can be remove safty from the slot."; },
        30s))
        << "the balloon shows: " << Narrow(BalloonText());
    EXPECT_TRUE(AskTheDisplay("screenshot tray-balloon-stopped.png"));
    EXPECT_TRUE(ToolRunning());
}

TEST_F(InstalledProduct, APulledCardLeavesTheLinkDown) {
    ASSERT_EQ(WinePc(L"pull " + std::to_wstring(BUS)), 0u);
    EXPECT_TRUE(WaitUntil([] { return MachineNow().machine.slot.present == 0; }, 10s));
    std::this_thread::sleep_for(2s);  // several passes of the poller
    EXPECT_TRUE(LinkDisabled());
    EXPECT_FALSE(CardDevice());
    EXPECT_TRUE(ToolRunning());
}

// Only the class installer's restart of the slot bridge brings this card
// up, which the 64-bit service can do on 64-bit Windows.
TEST_F(InstalledProduct, StartsACardThatNeedsTheClassInstallerCycle) {
    const std::uint32_t changesBefore = MachineNow().machine.stateChanges;
    ASSERT_EQ(WinePc(L"insert " + std::to_wstring(BUS) + L" --name \"Stubborn Card\" --needs device-cycle"), 0u);
    ASSERT_TRUE(WaitUntil(CardDevice, 60s)) << "the card's device never appeared";
    EXPECT_GE(MachineNow().machine.stateChanges - changesBefore, 1u);
    EXPECT_EQ(MachineNow().machine.disabled, 0u) << "a device was left disabled";
    EXPECT_TRUE(ToolRunning());
}

// The tool's hidden main window, which the shell's icon messages go to.
HWND ToolWindow(DWORD tool) {
    const auto windows = TopLevelWindows([&](HWND window) {
        return ProcessOf(window) == tool && ClassOf(window) == L"#32770" && !IsWindowVisible(window);
    });
    return windows.empty() ? nullptr : windows.front();
}

// A visible dialog of the tool (its settings).
HWND ToolDialog(DWORD tool) {
    const auto windows = TopLevelWindows([&](HWND window) {
        return ProcessOf(window) == tool && ClassOf(window) == L"#32770" && IsWindowVisible(window);
    });
    return windows.empty() ? nullptr : windows.front();
}

// Win+B then Enter, and Shift+F10, as the shell reports them to a tool that
// asked for version 3: the stop menu and the main menu open from the
// keyboard with their first item selected, so that Enter picks it. (Wine
// keeps a menu's items in its own process, so they are judged by the pick.)
TEST_F(InstalledProduct, TheKeyboardOpensTheStopMenuAndTheMainMenu) {
    constexpr UINT WM_TRAY_NOTIFY_MESSAGE = 0x8014;
    constexpr WPARAM TRAY_ICON = 11;
    const HWND window = ToolWindow(tool_.dwProcessId);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(CardDevice());

    PostMessageW(window, WM_TRAY_NOTIFY_MESSAGE, TRAY_ICON, NIN_KEYSELECT);
    ASSERT_TRUE(WaitUntil(PopupMenuShown, 30s)) << "Enter on the icon opened no menu";
    ASSERT_TRUE(AskTheDisplay("keys Return"));
    EXPECT_TRUE(WaitUntil(LinkDisabled, 60s)) << "Enter in the menu did not stop the card";
    EXPECT_TRUE(WaitUntil(
        [] { return BalloonText() == L"Stubborn Card stopped.\nExpressCard can be remove safty from the slot."; }, 30s))
        << "the balloon shows: " << Narrow(BalloonText());

    PostMessageW(window, WM_TRAY_NOTIFY_MESSAGE, TRAY_ICON, WM_CONTEXTMENU);
    ASSERT_TRUE(WaitUntil(PopupMenuShown, 30s)) << "Shift+F10 on the icon opened no menu";
    ASSERT_TRUE(AskTheDisplay("keys Return"));
    HWND settings = nullptr;
    EXPECT_TRUE(WaitUntil([&] { return (settings = ToolDialog(tool_.dwProcessId)) != nullptr; }, 30s))
        << "Enter in the main menu did not open Settings";
    if (settings != nullptr) PostMessageW(settings, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(WaitUntil([&] { return ToolDialog(tool_.dwProcessId) == nullptr; }, 30s));
    EXPECT_TRUE(ToolRunning());
}

// The installed qn38ctl on the emulated PC, beside the running tool.
TEST_F(InstalledProduct, TheCommandLineListsStopsAndStartsTheCardAndReadsTheLog) {
    // The keyboard's stop left the card in its slot, its link down.
    const auto again = Ctl(L"start 7");
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    ASSERT_TRUE(WaitUntil(CardDevice, 30s));

    const auto status = Ctl(L"status --json");
    ASSERT_TRUE(status.finished);
    EXPECT_EQ(status.exitCode, 0u) << status.output;
    EXPECT_NE(status.output.find("{\"service\": \"running\", \"filter\": true"), std::string::npos) << status.output;
    EXPECT_NE(status.output.find("{\"bus\": 7, \"present\": true, \"link\": \"enabled\", \"device\": "
                                 "{\"description\": \"Stubborn Card\""),
              std::string::npos)
        << status.output;

    const auto stopped = Ctl(L"stop 7");
    EXPECT_EQ(stopped.exitCode, 0u) << stopped.output;
    EXPECT_NE(stopped.output.find("Stubborn Card stopped."), std::string::npos) << stopped.output;
    EXPECT_TRUE(LinkDisabled());
    std::this_thread::sleep_for(2s);  // several passes of the tool's poller
    EXPECT_TRUE(LinkDisabled()) << "the running tool undid the stop";
    EXPECT_FALSE(CardDevice());

    const auto started = Ctl(L"start 7");
    EXPECT_EQ(started.exitCode, 0u) << started.output;
    EXPECT_NE(started.output.find("Stubborn Card started."), std::string::npos) << started.output;
    EXPECT_TRUE(CardDevice());
    EXPECT_FALSE(LinkDisabled());

    const auto log = Ctl(L"log");
    EXPECT_EQ(log.exitCode, 0u) << log.output;
    EXPECT_NE(log.output.find("LinkDisable(Bus0x07)"), std::string::npos);
    EXPECT_NE(log.output.find("LinkEnable(Bus0x07)"), std::string::npos);
    EXPECT_TRUE(ToolRunning());
}

// Windows removes a stopped card's devices some time after the stop's
// re-enumeration has returned. The poller's passes meanwhile must not enable
// the link of a card the user has just been told to pull.
TEST_F(InstalledProduct, AStoppedCardStaysStoppedWhileItsDevicesLeave) {
    ASSERT_EQ(WinePc(L"pull " + std::to_wstring(BUS)), 0u);
    ASSERT_TRUE(WaitUntil(LinkDisabled, 30s)) << "the pull was not handled";
    ASSERT_EQ(WinePc(L"insert " + std::to_wstring(BUS) + L" --name \"Lingering Card\" --linger 2000"), 0u);
    ASSERT_TRUE(WaitUntil([] { return BalloonText() == L"Lingering Card started."; }, 60s))
        << "the balloon shows: " << Narrow(BalloonText());
    ASSERT_TRUE(OpenTrayMenu("left")) << "no menu after the left click";
    ASSERT_TRUE(AskTheDisplay("keys Down Return"));
    ASSERT_TRUE(WaitUntil(LinkDisabled, 60s));
    const std::string stopped = PcState();
    EXPECT_TRUE(StateHas(stopped, "card-devnode present")) << "the devices left at once:\n" << stopped;
    const long enables = StateCount(stopped, "link-enables");
    ASSERT_GE(enables, 0) << stopped;

    // Ten passes of the poller and more, through the linger and after it.
    std::string state;
    ASSERT_TRUE(LinkStaysDisabled(3s, state)) << "the stopped card's link came up:\n" << state;
    EXPECT_EQ(StateCount(state, "link-enables"), enables) << state;
    EXPECT_TRUE(StateHas(state, "card-devnode absent")) << state;
    EXPECT_TRUE(WaitUntil(
        [] { return BalloonText() == L"Lingering Card stopped.\nExpressCard can be remove safty from the slot."; },
        30s))
        << "the balloon shows: " << Narrow(BalloonText());
    EXPECT_TRUE(ToolRunning());
}

// The next log-on starts a tool of its own, whose start-up brings every
// slot in line: the card the user stopped is no card to start. (One session
// under Wine: the first tool ends first, as at a log-off, since a second
// instance of one session ends at once.)
TEST_F(InstalledProduct, AToolStartedAfterAStopLeavesTheLinkDisabled) {
    ASSERT_TRUE(LinkDisabled());
    const long enables = StateCount(PcState(), "link-enables");
    ASSERT_GE(enables, 0);
    EndTool(tool_);
    ASSERT_TRUE(StartInstalledTool(tool_));
    ASSERT_TRUE(WaitUntil([] { return ToolWindow(tool_.dwProcessId) != nullptr; }, 60s))
        << "the new tool never started";
    std::string state;
    ASSERT_TRUE(LinkStaysDisabled(4s, state)) << "the new tool brought the stopped card back:\n" << state;
    EXPECT_EQ(StateCount(state, "link-enables"), enables) << state;
    EXPECT_FALSE(CardDevice());
    EXPECT_TRUE(ToolRunning());
}

}  // namespace
