// The settings dialog on its real template and controls under Wine: what it
// shows for a prepared driver key and Run value, how its edits take
// keystrokes and its trackbars drags, what OK writes, and that the main
// window can end it from outside. The service is not running here.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <string>

#include "tool/core/service_client.h"
#include "tool/res/resource.h"
#include "lib/win32/platform_win32.h"
#include "tool/win32/service_transport_win32.h"
#include "tool/win32/tool_backends.h"

namespace {

using namespace qn38::tool;
using namespace qn38::tool::win32;

constexpr wchar_t kDriverKey[] = L"SYSTEM\\CurrentControlSet\\Services\\QN38UP";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"QN38HotPlugTool";

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

void SetDword(const wchar_t* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriverKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

std::optional<DWORD> Dword(const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kDriverKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

void SetRunValue(const std::wstring& data) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, REG_SZ, data.c_str(),
                    static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

std::optional<std::wstring> RunValue() {
    wchar_t data[1024] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    if (type != REG_SZ) return L"<not REG_SZ>";
    return std::wstring(data);
}

std::wstring Text(HWND dialog, int id) {
    wchar_t text[64] = {};
    GetDlgItemTextW(dialog, id, text, 64);
    return text;
}

LRESULT Send(HWND dialog, int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageW(dialog, id, message, wParam, lParam);
}

// The user selects an edit's whole text and types over it.
void TypeOver(HWND dialog, int id, const std::wstring& characters) {
    Send(dialog, id, EM_SETSEL, 0, -1);
    for (const wchar_t character : characters) Send(dialog, id, WM_CHAR, character, 1);
}

// The user drags a trackbar's thumb: the control moves, then tells its parent.
void Drag(HWND dialog, int id, int position) {
    Send(dialog, id, TBM_SETPOS, TRUE, position);
    SendMessageW(dialog, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, position),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

HWND FindSettingsWindow() {
    HWND found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM param) -> BOOL {
            if (GetDlgItem(window, IDC_SLIDER_START) == nullptr || !IsWindowVisible(window)) return TRUE;
            *reinterpret_cast<HWND*>(param) = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// The dialog the running test has open, for the timer that finds it shown.
struct OpenDialog {
    SettingsDialog* dialog = nullptr;
    std::function<void(HWND)> whileOpen;
    bool endFromOutside = true;
};
OpenDialog current_;

class SettingsDialogOnWindows : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Win32AppHost host(Instance(), [] { return 0; });
        host.InitCommonControls();
        host.RegisterDialogClass(u"#32770", u"CQN38Dlg");
    }

    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }

    static void Clean() {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDriverKey);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue);
    }

    // Runs the settings dialog as the tray's Settings command does. `whileOpen`
    // runs on the dialog's thread once it shows; then, unless the user
    // closes it there, the main window ends it, as About or Exit would.
    enum class Closing { FromOutside, ByTheUser };
    int Run(std::function<void(HWND)> whileOpen, Closing closing = Closing::FromOutside) {
        auto dialog = dialogs_.Create();
        current_ = {dialog.get(), std::move(whileOpen), closing == Closing::FromOutside};
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, &SettingsDialogOnWindows::WhenShown);
        const int result = dialog->DoModal();
        KillTimer(nullptr, timer);
        const bool shown = current_.whileOpen == nullptr;
        current_ = {};
        EXPECT_NE(result, -1) << "template 91 did not load";
        EXPECT_TRUE(shown) << "the dialog never showed";
        return result;
    }

    static std::wstring ToolCommand() {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        return L"\"" + std::wstring(path) + L"\"";
    }

private:
    static void CALLBACK WhenShown(HWND, UINT, UINT_PTR timer, DWORD) {
        const HWND window = FindSettingsWindow();
        if (window == nullptr || current_.dialog == nullptr) return;
        KillTimer(nullptr, timer);
        auto whileOpen = std::move(current_.whileOpen);
        current_.whileOpen = nullptr;
        if (whileOpen) whileOpen(window);
        if (current_.endFromOutside) current_.dialog->EndDialog(IDCANCEL);
    }

    MainWindowHandle main_;
    ServiceClient service_{ServiceTransportBackend(), RetryPauseBackend(), qn38::win32::TextBackend()};
    Win32StringTable strings_{Instance()};
    Win32SystemInfo system_;
    Win32SettingsDialogs dialogs_{Instance(), main_, service_, strings_, system_};
};

TEST_F(SettingsDialogOnWindows, PreparedKeyAndRunValueShowInTheControls) {
    SetDword(L"DefLen", 0x01000000);
    SetDword(L"StartAdrs", 0x40000000);
    SetDword(L"EndAdrs", 0x7FFFFFFF);
    SetRunValue(L"\"C:\\elsewhere\\tool.exe\"");

    bool shown = false;
    const int result = Run([&](HWND dialog) {
        shown = true;
        EXPECT_EQ(Text(dialog, IDC_EDIT_SIZE), L"010");
        EXPECT_EQ(Text(dialog, IDC_EDIT_START), L"400");
        EXPECT_EQ(Text(dialog, IDC_EDIT_END), L"7FF");
        EXPECT_EQ(Send(dialog, IDC_SLIDER_START, TBM_GETPOS), 0x400);
        EXPECT_EQ(Send(dialog, IDC_SLIDER_END, TBM_GETPOS), 0x7FF);
        EXPECT_EQ(Send(dialog, IDC_SLIDER_END, TBM_GETRANGEMIN), 0);
        EXPECT_EQ(Send(dialog, IDC_SLIDER_END, TBM_GETRANGEMAX), 0xFFF);
        EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_STARTUP), BST_CHECKED);
        EXPECT_EQ(Send(dialog, IDC_EDIT_START, EM_GETLIMITTEXT), 3);
        EXPECT_NE(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0), 0);
    });
    EXPECT_TRUE(shown);
    // Ended from outside: the same as Cancel, nothing written.
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(RunValue(), L"\"C:\\elsewhere\\tool.exe\"");
    EXPECT_EQ(Dword(L"DefLen"), 0x01000000u);
}

TEST_F(SettingsDialogOnWindows, WithoutKeyOrRunValueShowsTheDefaults) {
    Run([](HWND dialog) {
        EXPECT_EQ(Text(dialog, IDC_EDIT_SIZE), L"002");
        EXPECT_EQ(Text(dialog, IDC_EDIT_START), L"000");
        EXPECT_EQ(Text(dialog, IDC_EDIT_END), L"EFF");
        EXPECT_EQ(Send(dialog, IDC_SLIDER_START, TBM_GETPOS), 0);
        EXPECT_EQ(Send(dialog, IDC_SLIDER_END, TBM_GETPOS), 0xEFF);
        EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_STARTUP), BST_UNCHECKED);
    });
}

TEST_F(SettingsDialogOnWindows, KeystrokesAreCheckedAsTheyAreTyped) {
    Run([](HWND dialog) {
        TypeOver(dialog, IDC_EDIT_START, L"g");
        EXPECT_EQ(Text(dialog, IDC_EDIT_START), L"000");
        TypeOver(dialog, IDC_EDIT_SIZE, L"a");
        EXPECT_EQ(Text(dialog, IDC_EDIT_SIZE), L"A");
        TypeOver(dialog, IDC_EDIT_END, L"7ff1");  // the fourth is refused by the edit
        EXPECT_EQ(Text(dialog, IDC_EDIT_END), L"7FF");
        EXPECT_EQ(Send(dialog, IDC_SLIDER_END, TBM_GETPOS), 0x7FF);
        TypeOver(dialog, IDC_EDIT_START, L"1");
        EXPECT_EQ(Send(dialog, IDC_SLIDER_START, TBM_GETPOS), 1);
    });
}

TEST_F(SettingsDialogOnWindows, TrackbarsWriteTheTextWithinTheWindowRule) {
    SetDword(L"DefLen", 0x01000000);
    SetDword(L"StartAdrs", 0x40000000);
    SetDword(L"EndAdrs", 0x7FFFFFFF);
    Run([](HWND dialog) {
        Drag(dialog, IDC_SLIDER_START, 0x123);
        EXPECT_EQ(Text(dialog, IDC_EDIT_START), L"123");
        Drag(dialog, IDC_SLIDER_START, 0x7F5);  // past end - size + 1
        EXPECT_EQ(Send(dialog, IDC_SLIDER_START, TBM_GETPOS), 0x7F0);
        EXPECT_EQ(Text(dialog, IDC_EDIT_START), L"123");
    });
}

TEST_F(SettingsDialogOnWindows, OkWritesTheRunValueWithTheQuotedPathOrDeletesIt) {
    SetDword(L"DefLen", 0x00200000);
    SetDword(L"StartAdrs", 0);
    SetDword(L"EndAdrs", 0xEFFFFFFF);
    const int checked = Run(
        [](HWND dialog) {
            CheckDlgButton(dialog, IDC_STARTUP, BST_CHECKED);
            Send(dialog, IDOK, BM_CLICK);
        },
        Closing::ByTheUser);
    EXPECT_EQ(checked, IDOK);
    EXPECT_EQ(RunValue(), ToolCommand());

    const int unchecked = Run(
        [](HWND dialog) {
            EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_STARTUP), BST_CHECKED);
            Send(dialog, IDC_STARTUP, BM_CLICK);
            Send(dialog, IDOK, BM_CLICK);
        },
        Closing::ByTheUser);
    EXPECT_EQ(unchecked, IDOK);
    EXPECT_EQ(RunValue(), std::nullopt);
}

TEST_F(SettingsDialogOnWindows, ChangedWindowTheServiceCannotStoreClosesTheDialogAndOffersNoRestart) {
    // No service runs here. A restart prompt would be a modal box that nobody
    // answers, so the run would end only at the test's time-out.
    SetDword(L"DefLen", 0x00200000);
    SetDword(L"StartAdrs", 0);
    SetDword(L"EndAdrs", 0xEFFFFFFF);
    const int result = Run(
        [](HWND dialog) {
            TypeOver(dialog, IDC_EDIT_SIZE, L"10");
            Send(dialog, IDOK, BM_CLICK);
        },
        Closing::ByTheUser);
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(Dword(L"DefLen"), 0x00200000u);
}

TEST(ToolVersion, FileVersionOfTheVersionResource) {
    Win32SystemInfo system;
    EXPECT_EQ(system.FileVersion(), u"1, 5, 23, 0");
}

}  // namespace
