// The packages under Wine's Windows Installer. The first test is one life
// from install to uninstall: each step needs the state the one before left.
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

std::wstring Package(const wchar_t* subdirectory, const wchar_t* version, const wchar_t* arch) {
    return std::wstring(QN38_PACKAGE_DIR) + subdirectory + L"\\QN38HotPlug-" + version + L"-" + arch + L".msi";
}
const std::wstring kPackage = Package(L"", QN38_VERSION, L"x64");
const std::wstring kUpgrade = Package(L"\\upgrade", QN38_UPGRADE_VERSION, L"x64");
constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::wstring InstallDirectory(const wchar_t* programFilesVariable = L"ProgramFiles") {
    wchar_t programFiles[MAX_PATH] = {};
    GetEnvironmentVariableW(programFilesVariable, programFiles, MAX_PATH);
    return std::wstring(programFiles) + L"\\QN38HotPlug";
}
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

DWORD Msiexec(const std::wstring& arguments) {
    const ProcessResult run = RunProcess(L"msiexec.exe " + arguments + L" /qn", 180000);
    return run.finished ? run.exitCode : WAIT_TIMEOUT;
}

std::optional<std::wstring> RunValue() {
    wchar_t data[MAX_PATH * 2] = {};
    DWORD bytes = sizeof data;
    if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, L"QN38HotPlugTool", RRF_RT_REG_SZ, nullptr, data, &bytes)) return {};
    return std::wstring(data);
}

SC_HANDLE OpenTheService() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_QUERY_STATUS);
    CloseServiceHandle(manager);
    return service;
}
bool ServiceRegistered() {
    const SC_HANDLE service = OpenTheService();
    CloseServiceHandle(service);
    return service != nullptr;
}

// RUNNING (the installer does not wait for it) and serving a request through
// the tool's own client; the service's log lands beside it. How the service
// is registered, the x86 package's check reads from the table.
void ExpectInstalledAndServing() {
    const SC_HANDLE service = OpenTheService();
    ASSERT_NE(service, nullptr) << "the service is not registered";
    SERVICE_STATUS status{};
    for (int waited = 0; waited < 150 && status.dwCurrentState != SERVICE_RUNNING; ++waited, Sleep(100)) {
        QueryServiceStatus(service, &status);
    }
    CloseServiceHandle(service);
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    tool::ServiceClient client(tool::win32::ServiceTransportBackend(), tool::win32::RetryPauseBackend(),
                               qn38::win32::TextBackend());
    EXPECT_EQ(client.RequestWriteLog(u"PackageTest"), 1);
    EXPECT_TRUE(Exists(InstallDirectory() + L"\\QN38.LOG"));
    for (const wchar_t* file : {L"QN38HotPlug.dll", L"QN38HotPlugService.exe", L"QN38HotPlugTool.exe"}) {
        EXPECT_TRUE(Exists(InstallDirectory() + L"\\" + file));
    }
}

TEST(Package, InstallsRepairsUpgradesAndUninstallsCleanly) {
    ASSERT_TRUE(Exists(kPackage) && Exists(kUpgrade)) << "the packages were not built";
    const std::wstring runCommand = L"\"" + InstallDirectory() + L"\\QN38HotPlugTool.exe\"";
    ASSERT_EQ(Msiexec(L"/i \"" + kPackage + L"\" STARTATLOGON=1"), 0u);
    ExpectInstalledAndServing();
    EXPECT_EQ(RunValue(), runCommand);
    // The same package again repairs; a higher version replaces it in place.
    ASSERT_TRUE(DeleteFileW((InstallDirectory() + L"\\QN38HotPlugTool.exe").c_str()));
    ASSERT_EQ(Msiexec(L"/i \"" + kPackage + L"\""), 0u);
    ExpectInstalledAndServing();
    ASSERT_EQ(Msiexec(L"/i \"" + kUpgrade + L"\""), 0u);
    ExpectInstalledAndServing();
    EXPECT_EQ(RunValue(), runCommand);
    ASSERT_EQ(Msiexec(L"/x \"" + kUpgrade + L"\""), 0u);
    EXPECT_FALSE(ServiceRegistered());
    EXPECT_FALSE(Exists(InstallDirectory())) << "the folder is still there";
    EXPECT_FALSE(RunValue().has_value()) << "the Run value is still there";
}

TEST(Package, TheX86PackageRefusesSixtyFourBitWindows) {
    EXPECT_EQ(Msiexec(L"/i \"" + Package(L"", QN38_VERSION, L"x86") + L"\""),
              static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_FALSE(ServiceRegistered());
    EXPECT_FALSE(Exists(InstallDirectory(L"ProgramFiles(x86)")));
}

}  // namespace
}  // namespace qn38::winetest
