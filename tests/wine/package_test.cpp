// The x64 package under Wine's Windows Installer, one life from install to
// uninstall: each step needs the state the one before left.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ServiceRequest.h"
#include "core/service_client.h"
#include "service_harness.h"
#include "win32/platform_win32.h"
#include "win32/service_transport_win32.h"

namespace qn38::winetest {
namespace {

const std::wstring kPackage = std::wstring(QN38_PACKAGE_DIR) + L"\\QN38HotPlug-" QN38_VERSION L"-x64.msi";
const std::wstring kUpgrade =
    std::wstring(QN38_PACKAGE_DIR) + L"\\upgrade\\QN38HotPlug-" QN38_UPGRADE_VERSION L"-x64.msi";
const std::wstring kOtherMachine = std::wstring(QN38_PACKAGE_DIR) + L"\\QN38HotPlug-" QN38_VERSION L"-x86.msi";
constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::wstring InstallDirectory() {
    wchar_t programFiles[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    return std::wstring(programFiles) + L"\\QN38HotPlug";
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// msiexec's exit code, or a failure with its output.
::testing::AssertionResult Msiexec(const std::wstring& arguments) {
    const ProcessResult run = RunProcess(L"msiexec.exe " + arguments, 180000);
    if (!run.finished) return ::testing::AssertionFailure() << "msiexec did not finish";
    if (run.exitCode != 0) return ::testing::AssertionFailure() << "msiexec exited " << run.exitCode << run.output;
    return ::testing::AssertionSuccess();
}

std::optional<std::wstring> RunValue() {
    wchar_t data[MAX_PATH * 2] = {};
    DWORD bytes = sizeof data;
    if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, L"QN38HotPlugTool", RRF_RT_REG_SZ, nullptr, data, &bytes) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

struct ServiceState {
    DWORD type = 0;
    DWORD start = 0;
    DWORD current = 0;
    std::wstring account;
    std::wstring binary;
};

// The registered service as the service control manager reports it, once it
// has left any pending state (the installer's start does not wait for RUNNING).
std::optional<ServiceState> QueryService() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return std::nullopt;
    const SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    CloseServiceHandle(manager);
    if (!service) return std::nullopt;
    ServiceState state;
    alignas(QUERY_SERVICE_CONFIGW) unsigned char buffer[8192];
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    DWORD needed = 0;
    if (QueryServiceConfigW(service, config, sizeof buffer, &needed)) {
        state.type = config->dwServiceType;
        state.start = config->dwStartType;
        state.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
        state.binary = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    }
    for (int waited = 0; waited < 150; ++waited) {
        SERVICE_STATUS_PROCESS status{};
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                  &needed)) {
            break;
        }
        state.current = status.dwCurrentState;
        if (state.current == SERVICE_RUNNING || state.current == SERVICE_STOPPED) break;
        Sleep(100);
    }
    CloseServiceHandle(service);
    return state;
}

// The installed service answers through the tool's own client, and its log lands beside it.
void ExpectServedAndRunning() {
    const auto service = QueryService();
    ASSERT_TRUE(service.has_value()) << "the service is not registered";
    EXPECT_EQ(service->current, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(service->type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(service->start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(service->account, L"LocalSystem");
    EXPECT_NE(service->binary.find(InstallDirectory() + L"\\QN38HotPlugService.exe"), std::wstring::npos);
    tool::ServiceClient client(tool::win32::ServiceTransportBackend(), tool::win32::RetryPauseBackend(),
                               qn38::win32::TextBackend());
    EXPECT_EQ(client.RequestWriteLog(u"PackageTest"), 1);
    EXPECT_TRUE(Exists(InstallDirectory() + L"\\QN38.LOG"));
}

TEST(Package, InstallsRepairsUpgradesAndUninstallsCleanly) {
    ASSERT_TRUE(Exists(kPackage) && Exists(kUpgrade)) << "the packages were not built";
    const std::wstring directory = InstallDirectory();

    ASSERT_TRUE(Msiexec(L"/i \"" + kPackage + L"\" /qn STARTATLOGON=1"));
    for (const wchar_t* file : {L"QN38HotPlug.dll", L"QN38HotPlugService.exe", L"QN38HotPlugTool.exe"}) {
        EXPECT_TRUE(Exists(directory + L"\\" + file)) << "missing " << std::string(file, file + wcslen(file));
    }
    ExpectServedAndRunning();
    EXPECT_EQ(RunValue(), L"\"" + directory + L"\\QN38HotPlugTool.exe\"");

    // The same package again repairs; a higher version replaces it in place,
    // keeping the Run value, with one service that is running.
    ASSERT_TRUE(Msiexec(L"/i \"" + kPackage + L"\" /qn"));
    ExpectServedAndRunning();
    ASSERT_TRUE(Msiexec(L"/i \"" + kUpgrade + L"\" /qn"));
    ExpectServedAndRunning();
    EXPECT_EQ(RunValue(), L"\"" + directory + L"\\QN38HotPlugTool.exe\"");
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    ASSERT_NE(manager, nullptr);
    alignas(ENUM_SERVICE_STATUS_PROCESSW) unsigned char buffer[65536];
    DWORD needed = 0;
    DWORD count = 0;
    ASSERT_TRUE(EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer,
                                      sizeof buffer, &needed, &count, nullptr, nullptr));
    CloseServiceHandle(manager);
    int ours = 0;
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer);
    for (DWORD i = 0; i < count; ++i) {
        if (std::wstring(services[i].lpServiceName).find(L"QN38") != std::wstring::npos) ++ours;
    }
    EXPECT_EQ(ours, 1);

    ASSERT_TRUE(Msiexec(L"/x \"" + kUpgrade + L"\" /qn"));
    EXPECT_FALSE(QueryService().has_value()) << "the service is still registered";
    EXPECT_FALSE(Exists(directory)) << "the folder is still there";
    EXPECT_FALSE(RunValue().has_value()) << "the Run value is still there";
}

// Without the property no Run value is written; one the settings dialog
// wrote later goes with the product all the same.
TEST(Package, WritesTheRunValueOnlyWhenAskedAndRemovesTheDialogsOne) {
    ASSERT_TRUE(Msiexec(L"/i \"" + kPackage + L"\" /qn"));
    EXPECT_FALSE(RunValue().has_value());
    const std::wstring command = L"\"" + InstallDirectory() + L"\\QN38HotPlugTool.exe\"";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, L"QN38HotPlugTool", REG_SZ, command.c_str(),
                              static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    ASSERT_TRUE(Msiexec(L"/x \"" + kPackage + L"\" /qn"));
    EXPECT_FALSE(RunValue().has_value()) << "the Run value is still there";
    EXPECT_FALSE(QueryService().has_value()) << "the service is still registered";
}

TEST(Package, TheX86PackageRefusesSixtyFourBitWindows) {
    ASSERT_TRUE(Exists(kOtherMachine)) << "the packages were not built";
    const ProcessResult run = RunProcess(L"msiexec.exe /i \"" + kOtherMachine + L"\" /qn", 180000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_FALSE(QueryService().has_value());
    wchar_t programFiles[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles(x86)", programFiles, MAX_PATH);
    EXPECT_FALSE(Exists(std::wstring(programFiles) + L"\\QN38HotPlug"));
}

}  // namespace
}  // namespace qn38::winetest
