#include <string>
#include <vector>

#include "lib/include/QN38HotPlug.h"
#include "service/ServiceRequest.h"
#include "ctl/win32/ctl_backends.h"
#include "lib/win32/handles.h"
#include "lib/win32/platform_win32.h"

namespace qn38::ctl::win32 {
namespace {

using qn38::win32::FileHandle;
using qn38::win32::ServiceManagerHandle;

// Only the rights to look: a standard user has them on every service.
ServiceManagerHandle OpenOurService(DWORD access) {
    const ServiceManagerHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return ServiceManagerHandle();
    return ServiceManagerHandle(::OpenServiceW(manager.get(), SERVICE_NAME, access));
}

}  // namespace

ServiceState Win32InstalledService::State() {
    const auto service = OpenOurService(SERVICE_QUERY_STATUS);
    if (!service) return ServiceState::Absent;
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(service.get(), &status)) return ServiceState::Absent;
    return status.dwCurrentState == SERVICE_RUNNING ? ServiceState::Running : ServiceState::Stopped;
}

std::optional<std::u16string> Win32InstalledService::BinaryPathName() {
    const auto service = OpenOurService(SERVICE_QUERY_CONFIG);
    if (!service) return std::nullopt;
    DWORD needed = 0;
    // The first call only says how much the configuration needs (at most 8 KB).
    if (::QueryServiceConfigW(service.get(), nullptr, 0, &needed) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, needed, &needed) || config->lpBinaryPathName == nullptr) {
        return std::nullopt;
    }
    const wchar_t* path = config->lpBinaryPathName;
    return std::u16string(path, path + ::wcslen(path));
}

int Win32SlotRegisters::ReadPCI(std::uint32_t bus, std::uint32_t offset, std::uint32_t* value) {
    return ZQ_ReadPCI(bus, offset, value);
}

std::optional<std::vector<std::uint8_t>> Win32FileReader::Read(const std::u16string& path, std::size_t maxBytes) {
    std::wstring wide;
    // The service keeps the log open for writing between entries: share both ways.
    const FileHandle file(::CreateFileW(qn38::win32::Wide(path, wide), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::vector<std::uint8_t> bytes(maxBytes);
    std::size_t read = 0;
    while (read < bytes.size()) {
        DWORD got = 0;
        const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - read, 1 << 20));
        if (!::ReadFile(file.get(), bytes.data() + read, asked, &got, nullptr)) return std::nullopt;
        if (got == 0) break;
        read += got;
    }
    bytes.resize(read);
    return bytes;
}

EnglishStringTable::EnglishStringTable() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return;
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t folder = path.find_last_of(L'\\');
    path = (folder == std::wstring::npos ? std::wstring() : path.substr(0, folder + 1)) + L"QN38HotPlugTool.exe";
    // As data: nothing of the tool runs, and its resources are found as in
    // the tool itself.
    tool_ = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

EnglishStringTable::~EnglishStringTable() {
    if (tool_ != nullptr) ::FreeLibrary(tool_);
}

std::u16string EnglishStringTable::Load(std::uint32_t id) {
    if (tool_ == nullptr) return {};
    // Strings are stored sixteen to a block, each as its length and its
    // UTF-16 units; LoadStringW would pick the block of the user's language.
    constexpr std::uint32_t STRINGS_PER_BLOCK = 16;
    const HRSRC found =
        ::FindResourceExW(tool_, reinterpret_cast<LPCWSTR>(RT_STRING), MAKEINTRESOURCEW(id / STRINGS_PER_BLOCK + 1),
                          MAKELANGID(LANG_ENGLISH, SUBLANG_NEUTRAL));
    if (found == nullptr) return {};
    const HGLOBAL loaded = ::LoadResource(tool_, found);
    const auto* units = static_cast<const char16_t*>(loaded == nullptr ? nullptr : ::LockResource(loaded));
    const DWORD size = ::SizeofResource(tool_, found) / sizeof(char16_t);
    if (units == nullptr) return {};
    DWORD at = 0;
    for (std::uint32_t index = 0; index < id % STRINGS_PER_BLOCK && at < size; ++index) at += 1 + units[at];
    if (at >= size || at + 1 + units[at] > size) return {};
    return std::u16string(units + at + 1, units[at]);
}

}  // namespace qn38::ctl::win32
