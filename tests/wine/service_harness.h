// The service under Wine's service control manager, for the Wine tests and
// the round-trip benchmark: installed from a directory of its own (where its
// log lands), started, stopped and removed again.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "service/ServiceRequest.h"
#include "lib/win32/handles.h"

namespace qn38::winetest {

std::wstring ProgramDirectory();

struct ProcessResult {
    bool finished = false;
    DWORD exitCode = 0;
    std::string output;  // standard output and error
};

// Runs a command line (sc, or a program of this build) and waits for it.
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 30000);

class InstalledService {
public:
    // Copies the service and the library into a fresh directory and registers
    // the copy with `sc create ... type= own`. Null, with a reason, on failure.
    static std::unique_ptr<InstalledService> Install(std::string& failure);
    ~InstalledService();  // stops, deletes, removes the directory

    bool Start(DWORD timeoutMs = 15000);  // sc start, then waits for RUNNING
    bool Stop(DWORD timeoutMs = 15000);   // sc stop, then waits for STOPPED
    std::optional<SERVICE_STATUS_PROCESS> Query();
    bool WaitForState(DWORD state, DWORD timeoutMs);
    // ControlService; the status it returns.
    std::optional<SERVICE_STATUS> Control(DWORD control);

    const std::wstring& directory() const { return directory_; }
    std::wstring ExecutablePath() const { return directory_ + L"\\QN38HotPlugService.exe"; }

private:
    InstalledService() = default;
    std::wstring directory_;
};

// The filter driver's service key, where CMD_SET_SIZE stores the window.
bool CreateDriverKey();
void DeleteDriverKey();
bool DriverKeyExists();
std::optional<DWORD> DriverValue(const wchar_t* name);

// A client written by hand, to do what the tool never does. Its pipe is
// overlapped so that every wait of the test is bounded.
class RawClient {
public:
    // Creates the named event first when asked, then tries to connect until the bound.
    static std::unique_ptr<RawClient> Connect(bool createEvent, DWORD timeoutMs = 5000);

    bool Send(std::span<const std::uint8_t> bytes);
    // Everything the service sends within the bound, until it disconnects or `bytes` have come.
    std::vector<std::uint8_t> Receive(std::size_t bytes, DWORD timeoutMs);
    // True when the service has disconnected (a read fails at once or within the bound).
    bool Disconnected(DWORD timeoutMs);

    HANDLE pipe() const { return pipe_.get(); }

private:
    qn38::win32::KernelHandle event_;
    qn38::win32::FileHandle pipe_;
    qn38::win32::KernelHandle ioEvent_;
};

}  // namespace qn38::winetest
