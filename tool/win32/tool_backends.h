// The Win32 backends of the tool's ports. Each holds only call patterns;
// every decision is the core's (CAboutDlg, CtavremoveApp).
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "tool/core/ports/app_host.h"
#include "tool/core/ports/message_boxes.h"
#include "tool/core/ports/popup_menus.h"
#include "tool/core/ports/settings_dialog.h"
#include "tool/core/ports/shared_slot_lock.h"
#include "tool/core/ports/slot_queries.h"
#include "tool/core/ports/string_table.h"
#include "tool/core/ports/system_info.h"
#include "tool/core/ports/tray_shell.h"
#include "tool/core/ports/worker_thread.h"
#include "tool/core/service_client.h"

namespace qn38::tool::win32 {

// The main dialog's window, set once it exists; the shell, the menus and the
// message boxes belong to it.
struct MainWindowHandle {
    std::atomic<HWND> window{nullptr};
};

class Win32SlotQueries final : public SlotQueries {
public:
    int GetStatus(std::uint32_t bus, std::uint32_t* present) override;
    int GetCardInfo(std::uint32_t bus, char16_t* description, std::uint32_t descriptionBytes, std::uint32_t* status,
                    std::uint32_t* problem) override;
    int DoesExistNoFilterRootPort() override;
};

class Win32TrayShell final : public TrayShell {
public:
    Win32TrayShell(HINSTANCE instance, MainWindowHandle& main) : instance_(instance), main_(main) {}
    bool NotifyIcon(TrayAction action, const NotifyIconRecord& record) override;

private:
    HINSTANCE instance_;
    MainWindowHandle& main_;
};

class Win32StringTable final : public StringTable {
public:
    explicit Win32StringTable(HINSTANCE instance) : instance_(instance) {}
    std::u16string Load(std::uint32_t id) override;

private:
    HINSTANCE instance_;
};

class Win32PopupMenus final : public PopupMenus {
public:
    Win32PopupMenus(HINSTANCE instance, MainWindowHandle& main) : instance_(instance), main_(main) {}
    void TrackItems(const std::vector<MenuItem>& items, MenuOpening opening) override;
    void TrackMainMenu(MenuOpening opening) override;

private:
    void Track(HMENU menu, MenuOpening opening);

    HINSTANCE instance_;
    MainWindowHandle& main_;
};

class Win32MessageBoxes final : public MessageBoxes {
public:
    Win32MessageBoxes(StringTable& strings, MainWindowHandle& main) : strings_(strings), main_(main) {}
    int Show(std::uint32_t stringId, std::uint32_t style) override;

private:
    StringTable& strings_;
    MainWindowHandle& main_;
};

class Win32SystemInfo final : public SystemInfo {
public:
    OsVersion GetVersion() override;
    std::optional<std::uint16_t> NativeProcessorArchitecture() override;
    std::optional<std::u16string> FileVersion() override;
    bool IsSystemResumeAutomatic() override;
    void Sleep(std::uint32_t milliseconds) override;
    void EnableShutdownPrivilege() override;
    void ExitWindowsReboot() override;
    void EndProcess() override;
};

// Threads whose end the window's thread awaits while serving sent messages.
class Win32Threads final : public Threads {
public:
    std::unique_ptr<WorkerThread> Begin(std::function<void()> body) override;
};

// The settings dialog on template 91, owned by the main window.
class Win32SettingsDialogs final : public SettingsDialogs {
public:
    Win32SettingsDialogs(HINSTANCE instance, MainWindowHandle& main, ServiceClient& service, StringTable& strings,
                         SystemInfo& system)
        : instance_(instance), main_(main), service_(service), strings_(strings), system_(system) {}
    std::unique_ptr<SettingsDialog> Create() override;

private:
    HINSTANCE instance_;
    MainWindowHandle& main_;
    ServiceClient& service_;
    StringTable& strings_;
    SystemInfo& system_;
};

// The lock the tools of every session share: a named mutex in the global
// namespace, made on first use and kept for the process's life.
class Win32SharedSlotLock final : public SharedSlotLock {
public:
    ~Win32SharedSlotLock() override;
    LockWait Acquire(std::chrono::milliseconds bound) override;
    void Release() override;

private:
    std::mutex mutex_;  // the window's thread and the poller make it on first use
    HANDLE lock_ = nullptr;
};

class Win32AppHost final : public AppHost {
public:
    Win32AppHost(HINSTANCE instance, std::function<int()> runMainDialog)
        : instance_(instance), runMainDialog_(std::move(runMainDialog)) {}

    void InitCommonControls() override;
    bool CreateSingleInstanceMutex(std::u16string_view name) override;
    void RegisterDialogClass(std::u16string_view baseClass, std::u16string_view name) override;
    void RegisterForRestart() override;
    int RunMainDialog() override { return runMainDialog_(); }

private:
    HINSTANCE instance_;
    std::function<int()> runMainDialog_;
    // Never closed: the mutex marks the running instance for the process's life.
    HANDLE mutex_ = nullptr;
};

inline const wchar_t* WideText(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

}  // namespace qn38::tool::win32
