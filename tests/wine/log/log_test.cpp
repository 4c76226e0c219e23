// The real DLL's memory-window setting and log under Wine, where no adapter
// exists: the driver key is made and removed by the tests themselves, and
// the log lies beside this program.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "lib/include/QN38HotPlug.h"

namespace {

constexpr std::uint32_t kSlot = 200;

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

const std::wstring kLogPath = ProgramDirectory() + L"QN38.LOG";

std::vector<std::uint8_t> ReadLog() {
    std::vector<std::uint8_t> bytes;
    HANDLE file = CreateFileW(kLogPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!bytes.empty()) ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    CloseHandle(file);
    return bytes;
}

void WriteRawLog(const std::vector<std::uint8_t>& bytes) {
    HANDLE file =
        CreateFileW(kLogPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

std::uint32_t NextSlot(const std::vector<std::uint8_t>& log) {
    std::uint32_t next = 0;
    std::memcpy(&next, log.data() + 28, 4);
    return next;
}

std::string Slot(const std::vector<std::uint8_t>& log, std::uint32_t index) {
    return std::string(reinterpret_cast<const char*>(log.data()) + index * kSlot, kSlot);
}

std::string Entry(const std::vector<std::uint8_t>& log, std::uint32_t index) {
    const std::string slot = Slot(log, index);
    return slot.substr(0, slot.find('\0'));
}

// A log whose header says `nextSlot`, `slots` slots long.
std::vector<std::uint8_t> PreparedLog(std::uint32_t nextSlot, std::uint32_t slots) {
    std::vector<std::uint8_t> bytes(std::size_t{slots} * kSlot, 'E');
    std::memset(bytes.data(), 0, kSlot);
    std::memcpy(bytes.data(), "QN38LOG", 8);
    std::memcpy(bytes.data() + 8, "2020/01/02 03:04:05", 20);
    std::memcpy(bytes.data() + 28, &nextSlot, 4);
    return bytes;
}

const std::regex kTimestamp("[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");

class DriverKey {
public:
    static constexpr const wchar_t* kPath = L"SYSTEM\\CurrentControlSet\\Services\\QN38UP";

    static bool Exists() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    static void Create() {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void Remove() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPath); }

    static std::optional<DWORD> Dword(const wchar_t* name) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kPath, name, RRF_RT_ANY, &type, &value, &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        if (type != REG_DWORD || size != 4) return std::nullopt;
        return value;
    }
};

class WineMemoryWindow : public ::testing::Test {
protected:
    void SetUp() override { DriverKey::Remove(); }
    void TearDown() override { DriverKey::Remove(); }
};

TEST_F(WineMemoryWindow, WithoutTheDriverKeyNothingIsStoredOrCreated) {
    EXPECT_EQ(ZQ_SetSize(0x00200000, 0, 0xEFFFFFFF), 0);
    EXPECT_FALSE(DriverKey::Exists());
}

TEST_F(WineMemoryWindow, StoresTheThreeValuesAsDwords) {
    DriverKey::Create();
    EXPECT_EQ(ZQ_SetSize(0x00200000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(DriverKey::Dword(L"DefLen"), 0x00200000u);
    EXPECT_EQ(DriverKey::Dword(L"StartAdrs"), 0u);
    EXPECT_EQ(DriverKey::Dword(L"EndAdrs"), 0xEFFFFFFFu);
}

class WineLogFile : public ::testing::Test {
protected:
    void SetUp() override { DeleteFileW(kLogPath.c_str()); }
    void TearDown() override { DeleteFileW(kLogPath.c_str()); }
};

TEST_F(WineLogFile, FirstUseCreatesTheHeaderAndTheFirstEntry) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    ASSERT_NE(WriteLogFile(L"hello"), 0);
    const auto log = ReadLog();
    ASSERT_EQ(log.size(), 400u);
    EXPECT_EQ(std::memcmp(log.data(), "QN38LOG\0", 8), 0);
    const std::string created(reinterpret_cast<const char*>(log.data()) + 8, 20);
    EXPECT_TRUE(std::regex_match(created.substr(0, 19), kTimestamp)) << created;
    EXPECT_EQ(created[19], '\0');
    EXPECT_EQ(created.substr(0, 4), std::to_string(now.wYear));
    EXPECT_EQ(NextSlot(log), 2u);
    EXPECT_EQ(Slot(log, 1), "hello" + std::string(195, '\0'));
}

TEST_F(WineLogFile, ANullTextWritesTheHeaderAlone) {
    ASSERT_NE(WriteLogFile(nullptr), 0);
    const auto log = ReadLog();
    ASSERT_EQ(log.size(), 200u);
    EXPECT_EQ(NextSlot(log), 1u);
}

TEST_F(WineLogFile, Slot4999IsTheLastBeforeTheRingWraps) {
    WriteRawLog(PreparedLog(4999, 4999));
    ASSERT_NE(WriteLogFile(L"last"), 0);
    const auto log = ReadLog();
    ASSERT_EQ(log.size(), 1'000'000u);
    EXPECT_EQ(Entry(log, 4999), "last");
    EXPECT_EQ(NextSlot(log), 1u);
}

TEST_F(WineLogFile, NextSlot5000RebuildsTheHeader) {
    WriteRawLog(PreparedLog(5000, 3));
    ASSERT_NE(WriteLogFile(L"again"), 0);
    const auto log = ReadLog();
    EXPECT_EQ(Entry(log, 1), "again");
    EXPECT_EQ(Entry(log, 2), std::string(200, 'E'));
    EXPECT_EQ(NextSlot(log), 2u);
    EXPECT_NE(std::string(reinterpret_cast<const char*>(log.data()) + 8, 19), "2020/01/02 03:04:05");
}

TEST_F(WineLogFile, A250CharacterTextKeepsItsFirst200BytesWithoutTerminator) {
    const std::wstring text(250, L'x');
    ASSERT_NE(WriteLogFile(text.c_str()), 0);
    const auto log = ReadLog();
    ASSERT_EQ(log.size(), 400u);
    EXPECT_EQ(Slot(log, 1), std::string(200, 'x'));
}

TEST_F(WineLogFile, TextGoesThroughTheAnsiCodePage) {
    const wchar_t* text = L"caf\u00E9 \u3042";
    char expected[32] = {};
    WideCharToMultiByte(CP_ACP, 0, text, -1, expected, sizeof expected, nullptr, nullptr);
    ASSERT_NE(WriteLogFile(text), 0);
    EXPECT_EQ(Entry(ReadLog(), 1), expected);
}

class WineLogReport : public WineLogFile {
protected:
    void SetUp() override {
        WineLogFile::SetUp();
        DriverKey::Remove();
        // The report would list a slot bridge or a filtered device another test left behind.
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"PCI", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE) return;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
            EXPECT_EQ(GetDeviceRegistryProperty(set, &device, SPDRP_HARDWAREID, HWID_SLOT_BRIDGE, nullptr, 0), 0)
                << "a slot bridge was left in this prefix";
            EXPECT_EQ(GetDeviceRegistryProperty(set, &device, SPDRP_UPPERFILTERS, FILTER_NAME, nullptr, 0), 0)
                << "a device carrying the filter was left in this prefix";
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    void TearDown() override {
        DriverKey::Remove();
        WineLogFile::TearDown();
    }
};

TEST_F(WineLogReport, WithoutTheDriverKeyOnlyTheTitleIsWritten) {
    ZQ_WriteLog("LinkDisable(Bus0x05)");
    const auto log = ReadLog();
    ASSERT_EQ(log.size(), 400u);
    EXPECT_EQ(NextSlot(log), 2u);
    const std::string title = Entry(log, 1);
    EXPECT_EQ(title.substr(0, 26), "\r\n\r\nLinkDisable(Bus0x05)\r\n");
    EXPECT_TRUE(std::regex_match(title.substr(26), kTimestamp)) << title;
}

TEST_F(WineLogReport, WithTheDriverKeyTheRegistryEntryFollows) {
    DriverKey::Create();
    ASSERT_EQ(ZQ_SetSize(0x00200000, 0, 0xEFFFFFFF), 1);
    ZQ_WriteLog("ReaderCheck");
    const auto log = ReadLog();
    ASSERT_EQ(log.size(), 600u);
    EXPECT_EQ(NextSlot(log), 3u);
    EXPECT_EQ(Entry(log, 1).substr(0, 17), "\r\n\r\nReaderCheck\r\n");
    EXPECT_EQ(Entry(log, 2), "\r\nRegistry\r\nDefLen:0x00200000\r\nStartAdrs:0x00000000\r\nEndAdrs:0xefffffff");
    // Kept for the reader's test, which decodes what the DLL wrote.
    EXPECT_TRUE(CopyFileW(kLogPath.c_str(), (ProgramDirectory() + L"QN38-reader.LOG").c_str(), FALSE));
}

}  // namespace
