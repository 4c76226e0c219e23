#include "tests/wine/service_harness.h"

#include "lib/include/QN38HotPlug.h"

namespace qn38::winetest {
namespace {

using qn38::win32::FileHandle;
using qn38::win32::KernelHandle;

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { CloseServiceHandle(handle); }
};
using ServiceHandle = qn38::win32::Owned<ServiceHandleTraits>;

ServiceHandle OpenTheService(DWORD access) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return ServiceHandle();
    return ServiceHandle(OpenServiceW(manager.get(), SERVICE_NAME, access));
}

std::wstring Sc(const std::wstring& arguments) { return L"sc.exe " + arguments; }

bool Copy(const std::wstring& name, const std::wstring& to) {
    return CopyFileW((ProgramDirectory() + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE) != FALSE;
}

}  // namespace

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    return directory.substr(0, directory.find_last_of(L'\\'));
}

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return result;
    KernelHandle reader(readEnd);
    KernelHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return result;
    }
    KernelHandle processHandle(process.hProcess);
    KernelHandle thread(process.hThread);
    writer.reset();  // the child holds the only write end now: reading ends when it exits

    const DWORD started = GetTickCount();
    for (;;) {
        DWORD available = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[512];
            DWORD read = 0;
            if (!ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) || read == 0) break;
            result.output.append(buffer, read);
        }
        if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
            while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
                char buffer[512];
                DWORD read = 0;
                if (!ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) || read == 0) break;
                result.output.append(buffer, read);
            }
            result.finished = true;
            GetExitCodeProcess(process.hProcess, &result.exitCode);
            return result;
        }
        if (GetTickCount() - started > timeoutMs) {
            TerminateProcess(process.hProcess, 1);
            return result;
        }
    }
}

std::unique_ptr<InstalledService> InstalledService::Install(std::string& failure) {
    std::unique_ptr<InstalledService> service(new InstalledService);
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    service->directory_ = std::wstring(temp) + L"qn38-service-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(service->directory_.c_str(), nullptr);
    if (!Copy(L"QN38HotPlugService.exe", service->directory_) || !Copy(L"QN38HotPlug.dll", service->directory_)) {
        failure = "cannot copy the service and the library";
        return nullptr;
    }
    // A run that ended early may have left its registration behind.
    RunProcess(Sc(L"stop QN38HotPlugService"));
    RunProcess(Sc(L"delete QN38HotPlugService"));
    const ProcessResult created =
        RunProcess(Sc(L"create QN38HotPlugService binPath= \"" + service->ExecutablePath() + L"\" type= own"));
    if (!created.finished || created.exitCode != 0) {
        failure = "sc create failed: " + created.output;
        return nullptr;
    }
    return service;
}

InstalledService::~InstalledService() {
    Stop();
    RunProcess(Sc(L"delete QN38HotPlugService"));
    for (const wchar_t* name : {L"QN38HotPlugService.exe", L"QN38HotPlug.dll", L"QN38.LOG"}) {
        // The process may take a moment to let go of its executable.
        for (int attempt = 0; attempt < 50; ++attempt) {
            const std::wstring path = directory_ + L"\\" + name;
            if (DeleteFileW(path.c_str()) || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) break;
            Sleep(100);
        }
    }
    RemoveDirectoryW(directory_.c_str());
}

bool InstalledService::Start(DWORD timeoutMs) {
    RunProcess(Sc(L"start QN38HotPlugService"));
    return WaitForState(SERVICE_RUNNING, timeoutMs);
}

bool InstalledService::Stop(DWORD timeoutMs) {
    const auto status = Query();
    if (!status || status->dwCurrentState == SERVICE_STOPPED) return true;
    RunProcess(Sc(L"stop QN38HotPlugService"));
    return WaitForState(SERVICE_STOPPED, timeoutMs);
}

std::optional<SERVICE_STATUS_PROCESS> InstalledService::Query() {
    const ServiceHandle service = OpenTheService(SERVICE_QUERY_STATUS);
    if (!service) return std::nullopt;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
        return std::nullopt;
    }
    return status;
}

bool InstalledService::WaitForState(DWORD state, DWORD timeoutMs) {
    const DWORD started = GetTickCount();
    for (;;) {
        const auto status = Query();
        if (status && status->dwCurrentState == state) return true;
        if (GetTickCount() - started > timeoutMs) return false;
        Sleep(50);
    }
}

std::optional<SERVICE_STATUS> InstalledService::Control(DWORD control) {
    const ServiceHandle service = OpenTheService(SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_QUERY_STATUS);
    if (!service) return std::nullopt;
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), control, &status)) return std::nullopt;
    return status;
}

bool CreateDriverKey() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, DRIVER_KEY_PATH, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void DeleteDriverKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, DRIVER_KEY_PATH); }

bool DriverKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DRIVER_KEY_PATH, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::optional<DWORD> DriverValue(const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, DRIVER_KEY_PATH, name, RRF_RT_ANY, &type, &value, &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return std::nullopt;
    }
    return value;
}

std::unique_ptr<RawClient> RawClient::Connect(bool createEvent, DWORD timeoutMs) {
    std::unique_ptr<RawClient> client(new RawClient);
    if (createEvent) {
        // Only the rights the tool asks for: an event the tool created grants no more.
        client->event_ = KernelHandle(CreateEventExW(nullptr, SERVICE_EVENT_NAME, 0, SYNCHRONIZE | EVENT_MODIFY_STATE));
        if (!client->event_) return nullptr;
    }
    client->ioEvent_ = KernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const DWORD started = GetTickCount();
    while (!client->pipe_) {
        client->pipe_ = FileHandle(CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (client->pipe_) break;
        if (GetTickCount() - started > timeoutMs) return nullptr;
        Sleep(10);
    }
    return client;
}

bool RawClient::Send(std::span<const std::uint8_t> bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = ioEvent_.get();
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (WaitForSingleObject(ioEvent_.get(), 5000) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_.get(), &overlapped);
        GetOverlappedResult(pipe_.get(), &overlapped, &written, TRUE);
        return false;
    }
    return GetOverlappedResult(pipe_.get(), &overlapped, &written, FALSE) && written == bytes.size();
}

std::vector<std::uint8_t> RawClient::Receive(std::size_t bytes, DWORD timeoutMs) {
    std::vector<std::uint8_t> received;
    const DWORD started = GetTickCount();
    while (received.size() < bytes) {
        std::uint8_t buffer[512];
        OVERLAPPED overlapped{};
        overlapped.hEvent = ioEvent_.get();
        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(std::min(sizeof buffer, bytes - received.size()));
        if (!ReadFile(pipe_.get(), buffer, wanted, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) break;
        const DWORD elapsed = GetTickCount() - started;
        const DWORD left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        if (WaitForSingleObject(ioEvent_.get(), left) != WAIT_OBJECT_0) {
            CancelIoEx(pipe_.get(), &overlapped);
            GetOverlappedResult(pipe_.get(), &overlapped, &read, TRUE);
            received.insert(received.end(), buffer, buffer + read);
            break;
        }
        if (!GetOverlappedResult(pipe_.get(), &overlapped, &read, FALSE) || read == 0) break;
        received.insert(received.end(), buffer, buffer + read);
    }
    return received;
}

bool RawClient::Disconnected(DWORD timeoutMs) {
    std::uint8_t byte = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = ioEvent_.get();
    DWORD read = 0;
    if (ReadFile(pipe_.get(), &byte, 1, nullptr, &overlapped)) return false;
    if (GetLastError() != ERROR_IO_PENDING) return true;
    if (WaitForSingleObject(ioEvent_.get(), timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_.get(), &overlapped);
        GetOverlappedResult(pipe_.get(), &overlapped, &read, TRUE);
        return false;
    }
    return !GetOverlappedResult(pipe_.get(), &overlapped, &read, FALSE);
}

}  // namespace qn38::winetest
