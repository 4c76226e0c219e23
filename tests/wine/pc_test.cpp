// The emulated setupapi.dll and cfgmgr32.dll held to their contracts, and
// the real QN38HotPlug.dll's Plug and Play code run over the machine they
// describe: the card's devnode coming and going with the link, training,
// the class-installer cycle and the filter registration.
//
// The program lives beside the fixtures (bin/wine-pc). Wine would give it
// its own setupapi.dll unless the prefix's per-application override asks for
// the native one, so the program sets that override for itself and runs
// again, and removes it afterwards.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "lib/include/QN38HotPlug.h"
#include "sim/winepc/driver/dump_fixture.h"
#include "sim/winepc/machine.h"
#include "tests/wine/service_harness.h"

namespace {

using namespace qn38::wine;
using namespace qn38::winepc;
using qn38::CM_PROB_HELD_FOR_EJECT_CODE;
using qn38::DN_HAS_PROBLEM_FLAG;
using qn38::DN_REMOVABLE_FLAG;
using qn38::DN_STARTED_FLAG;
using qn38::STATUS_REMOVAL_PENDING;
using qn38::STATUS_RUNNING;
using qn38::winetest::CreateDriverKey;
using qn38::winetest::DeleteDriverKey;

constexpr std::uint32_t BUS = 7;
constexpr DWORD LINK_DISABLE = 0x10;
constexpr DWORD DICS_FLAG_CONFIG = DICS_FLAG_CONFIGSPECIFIC;
// The card sits in a hot-plug slot.
constexpr std::uint32_t CARD_RUNNING = STATUS_RUNNING | DN_REMOVABLE_FLAG;

// Wine names its own DLL by the path of the file it was asked for, so only
// the fixtures' own export tells them apart.
bool OnTheFixture(const wchar_t* dll) {
    const HMODULE module = GetModuleHandleW(dll);
    return module != nullptr && GetProcAddress(module, "Qn38EmulatedMachine") != nullptr;
}

std::wstring OverrideKey() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path);
    return L"Software\\Wine\\AppDefaults\\" + full.substr(full.find_last_of(L'\\') + 1) + L"\\DllOverrides";
}

// Runs this program again with the fixtures as its setupapi and cfgmgr32.
int RunOnTheFixtures() {
    const std::wstring key = OverrideKey();
    for (const wchar_t* dll : {L"setupapi", L"cfgmgr32"}) {
        RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), dll, REG_SZ, L"native", sizeof L"native");
    }
    SetEnvironmentVariableW(L"QN38_PC_TEST_AGAIN", L"1");
    std::wstring line = GetCommandLineW();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD exitCode = 1;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    } else {
        std::fprintf(stderr, "pc_test: could not run again\n");
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    return static_cast<int>(exitCode);
}

std::optional<Snapshot> Machine() { return MachineLink::Now(); }

bool Insert(std::uint32_t trainingMs = 0, std::uint32_t needs = DUMP_FIXTURE_NEEDS_NOTHING,
            const wchar_t* name = L"Test Card", std::uint32_t lingerMs = 0, std::uint32_t problem = 0) {
    DumpFixtureCard card{};
    card.trainingMs = trainingMs;
    card.needs = needs;
    card.lingerMs = lingerMs;
    card.problem = problem;
    std::memcpy(card.name, name, (wcslen(name) + 1) * sizeof(wchar_t));
    return MachineLink::Insert(card);
}

bool SetRootPortFilters(const std::optional<std::wstring_view>& list) {
    DumpFixtureFilters filters{};
    filters.devnode = DUMP_FIXTURE_NODE_ROOT_PORT;
    filters.bytes = DUMP_FIXTURE_NO_VALUE;
    if (list) {
        filters.bytes = static_cast<std::uint32_t>(list->size() * sizeof(wchar_t));
        std::memcpy(filters.data, list->data(), filters.bytes);
    }
    return MachineLink::SetFilters(filters);
}

std::optional<std::wstring> RootPortFilters() {
    const auto filters = MachineLink::Filters(DUMP_FIXTURE_NODE_ROOT_PORT);
    if (!filters || filters->bytes == DUMP_FIXTURE_NO_VALUE) return std::nullopt;
    return std::wstring(reinterpret_cast<const wchar_t*>(filters->data), filters->bytes / sizeof(wchar_t));
}

bool CardDevice() {
    const auto machine = Machine();
    return machine && machine->Present(DUMP_FIXTURE_NODE_CARD);
}

// The PCI devices present, as the library scans them.
struct PciSet {
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"PCI", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ~PciSet() {
        if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    }
    std::optional<SP_DEVINFO_DATA> Find(DEVINST node) const {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
            if (data.DevInst == node) return data;
        }
        return std::nullopt;
    }
};

class EmulatedPc : public ::testing::Test {
protected:
    static void SetUpTestSuite() { driver_ = new ScopedDumpFixture; }
    static void TearDownTestSuite() { delete driver_; }
    void SetUp() override {
        ASSERT_TRUE(driver_->running()) << "register the driver with sim/winepc/driver/dump-fixture install";
        ASSERT_TRUE(MachineLink::PlaceSlot(BUS));
        ASSERT_TRUE(SetRootPortFilters(std::nullopt));
    }
    static ScopedDumpFixture* driver_;
};
ScopedDumpFixture* EmulatedPc::driver_ = nullptr;

TEST_F(EmulatedPc, TheProcessRunsOnTheFixtures) {
    EXPECT_TRUE(OnTheFixture(L"setupapi.dll"));
    EXPECT_TRUE(OnTheFixture(L"cfgmgr32.dll"));
}

TEST_F(EmulatedPc, SetupApiChecksRecordSizesAndReportsSizesAndTypes) {
    PciSet pci;
    ASSERT_NE(pci.set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data - 4;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(pci.set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof data;
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(pci.set, count, &data)) ++count;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(count, 7u) << "every PCI device but the card, which has no devnode yet";

    const auto adapter = pci.Find(DUMP_FIXTURE_NODE_ADAPTER);
    ASSERT_TRUE(adapter);
    SP_DEVINFO_DATA device = *adapter;
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(pci.set, &device, SPDRP_HARDWAREID, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    std::vector<BYTE> ids(size);
    EXPECT_FALSE(
        SetupDiGetDeviceRegistryPropertyW(pci.set, &device, SPDRP_HARDWAREID, &type, ids.data(), size - 1, &size));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(pci.set, &device, SPDRP_HARDWAREID, &type, ids.data(), size, &size));
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(ids.data())).rfind(HWID_ADAPTER_FUNCTION, 0), 0u);
    DWORD bus = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(pci.set, &device, SPDRP_BUSNUMBER, &type,
                                                  reinterpret_cast<BYTE*>(&bus), sizeof bus, nullptr));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(bus, BUS);
    // A property the device lacks, and a null buffer with a size.
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(pci.set, &device, SPDRP_UPPERFILTERS, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(pci.set, &device, SPDRP_HARDWAREID, &type, nullptr, 8, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
}

TEST_F(EmulatedPc, FilterListsAreMultiStringsAndANullBufferDeletesThem) {
    PciSet pci;
    auto port = pci.Find(DUMP_FIXTURE_NODE_ROOT_PORT);
    ASSERT_TRUE(port);
    constexpr wchar_t ODD[] = L"A";  // no closing empty string
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(pci.set, &*port, SPDRP_UPPERFILTERS,
                                                   reinterpret_cast<const BYTE*>(ODD), sizeof ODD));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(CM_Set_DevNode_Registry_PropertyW(DUMP_FIXTURE_NODE_ROOT_PORT, CM_DRP_UPPERFILTERS, ODD, 3, 0),
              static_cast<CONFIGRET>(CR_INVALID_DATA));
    constexpr wchar_t LIST[] = L"A\0QN38UP\0";
    ASSERT_EQ(CM_Set_DevNode_Registry_PropertyW(DUMP_FIXTURE_NODE_ROOT_PORT, CM_DRP_UPPERFILTERS, LIST, sizeof LIST, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(RootPortFilters(), std::wstring(LIST, sizeof LIST / sizeof(wchar_t)));
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(pci.set, &*port, SPDRP_UPPERFILTERS, nullptr, 0));
    EXPECT_EQ(RootPortFilters(), std::nullopt);
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(pci.set, &*port, SPDRP_BUSNUMBER, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
}

TEST_F(EmulatedPc, CfgMgrWalksTheTreeAndChecksItsArguments) {
    DEVINST node = 0;
    ASSERT_EQ(CM_Get_Parent(&node, DUMP_FIXTURE_NODE_ADAPTER, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, DUMP_FIXTURE_NODE_ROOT_PORT);
    ASSERT_EQ(CM_Get_Parent(&node, node, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    ASSERT_EQ(CM_Get_Parent(&node, node, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, DUMP_FIXTURE_NODE_ROOT);
    EXPECT_EQ(CM_Get_Parent(&node, node, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Get_Parent(&node, DUMP_FIXTURE_NODE_ADAPTER, 1), static_cast<CONFIGRET>(CR_INVALID_FLAG));
    EXPECT_EQ(CM_Get_Parent(&node, 0, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
    EXPECT_EQ(CM_Get_Child(&node, DUMP_FIXTURE_NODE_SLOT_BRIDGE, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));

    ULONG type = 0;
    ULONG length = 4;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(DUMP_FIXTURE_NODE_ROOT_PORT, CM_DRP_COMPATIBLEIDS, &type, nullptr,
                                                &length, 0),
              static_cast<CONFIGRET>(CR_INVALID_POINTER));
    length = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(DUMP_FIXTURE_NODE_ROOT_PORT, CM_DRP_COMPATIBLEIDS, &type, nullptr,
                                                &length, 0),
              static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    EXPECT_EQ(type, static_cast<ULONG>(REG_MULTI_SZ));
    std::vector<wchar_t> ids(length / sizeof(wchar_t));
    ASSERT_EQ(CM_Get_DevNode_Registry_PropertyW(DUMP_FIXTURE_NODE_ROOT_PORT, CM_DRP_COMPATIBLEIDS, &type, ids.data(),
                                                &length, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_NE(std::wstring(ids.data(), ids.size()).find(COMPATID_PCI_BRIDGE), std::wstring::npos);
    length = 0;
    EXPECT_EQ(
        CM_Get_DevNode_Registry_PropertyW(DUMP_FIXTURE_NODE_ROOT_PORT, CM_DRP_UPPERFILTERS, &type, nullptr, &length, 0),
        static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(DUMP_FIXTURE_NODE_ROOT_PORT, 0, &type, nullptr, &length, 0),
              static_cast<CONFIGRET>(CR_INVALID_PROPERTY));
}

// The card's disk is found through its interface, as the stop's volume test finds it.
TEST_F(EmulatedPc, TheCardsDiskInterfaceLeadsToItsDisk) {
    ASSERT_TRUE(Insert());
    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    const HDEVINFO set =
        SetupDiGetClassDevsW(&DISK_INTERFACE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &DISK_INTERFACE, 0, &interfaceData));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &DISK_INTERFACE, 1, &interfaceData));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    interfaceData.cbSize = sizeof interfaceData;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &DISK_INTERFACE, 0, &interfaceData));
    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = size;  // the whole buffer instead of the record's fixed part
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, size, nullptr, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, size, nullptr, &device));
    EXPECT_STREQ(detail->DevicePath, DISK_INTERFACE_PATH);
    EXPECT_EQ(device.DevInst, DUMP_FIXTURE_NODE_DISK);
    SetupDiDestroyDeviceInfoList(set);
    // The stop's volume test walks from that disk up to the slot bridge.
    const std::uint32_t queries = Machine()->machine.diskQueries;
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 0, 1), 1);
    EXPECT_GT(Machine()->machine.diskQueries, queries);
}

TEST_F(EmulatedPc, TheClassInstallerTakesOnlyWellFormedPropertyChanges) {
    PciSet pci;
    auto bridge = pci.Find(DUMP_FIXTURE_NODE_SLOT_BRIDGE);
    ASSERT_TRUE(bridge);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, pci.set, &*bridge));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CLASSINSTALL_PARAMS));
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof params;  // the whole record instead of its header
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_DISABLE;
    params.Scope = DICS_FLAG_CONFIG;
    EXPECT_FALSE(SetupDiSetClassInstallParamsW(pci.set, &*bridge, &params.ClassInstallHeader, sizeof params));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    EXPECT_FALSE(SetupDiSetClassInstallParamsW(pci.set, &*bridge, &params.ClassInstallHeader, sizeof params + 4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(pci.set, &*bridge, &params.ClassInstallHeader, sizeof params));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, pci.set, &*bridge));
    ULONG status = 0;
    ULONG problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, DUMP_FIXTURE_NODE_SLOT_BRIDGE, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(problem, 22u) << "CM_PROB_DISABLED";
    params.StateChange = DICS_ENABLE;
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(pci.set, &*bridge, &params.ClassInstallHeader, sizeof params));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, pci.set, &*bridge));
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, DUMP_FIXTURE_NODE_SLOT_BRIDGE, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(problem, 0u);
    // What the library reads after each change: whether it waits for a restart.
    SP_DEVINSTALL_PARAMS_W install{};
    install.cbSize = sizeof install - sizeof(WCHAR);
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsW(pci.set, &*bridge, &install));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    install.cbSize = sizeof install;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(pci.set, &*bridge, &install));
    EXPECT_EQ(install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART), 0u) << "a change made at once asks for no restart";

    // DICS_START and DICS_STOP cannot be made globally.
    params.StateChange = DICS_STOP;
    params.Scope = DICS_FLAG_GLOBAL;
    EXPECT_FALSE(SetupDiSetClassInstallParamsW(pci.set, &*bridge, &params.ClassInstallHeader, sizeof params));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    // A restart returns once the device runs again; one the installer cannot
    // make now leaves it running and says so in the install parameters.
    params.StateChange = DICS_PROPCHANGE;
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(pci.set, &*bridge, &params.ClassInstallHeader, sizeof params));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, pci.set, &*bridge));
    EXPECT_FALSE(Machine()->Disabled(DUMP_FIXTURE_NODE_SLOT_BRIDGE));
    ASSERT_TRUE(MachineLink::DeferStops(1));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, pci.set, &*bridge));
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(pci.set, &*bridge, &install));
    EXPECT_NE(install.Flags & DI_NEEDRESTART, 0u);
    EXPECT_FALSE(Machine()->Disabled(DUMP_FIXTURE_NODE_SLOT_BRIDGE));
}

// The card's devnode exists exactly while a card is in and the link is up,
// from the enumeration on; the library sees it with ZQ_GetCardInfo.
TEST_F(EmulatedPc, TheCardsDevnodeFollowsTheLinkThroughTheLibrary) {
    wchar_t description[260] = {};
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    ASSERT_TRUE(Insert(0, DUMP_FIXTURE_NEEDS_NOTHING, L"Emulated SATA Card"));
    EXPECT_EQ(ZQ_GetCardInfo(BUS, description, sizeof description, &status, &problem), 0) << "before enumeration";
    // A start re-enumerates the bus: the card's devnode appears.
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    ASSERT_EQ(ZQ_GetCardInfo(BUS, description, sizeof description, &status, &problem), 1);
    EXPECT_STREQ(description, L"Emulated SATA Card");
    EXPECT_EQ(status, CARD_RUNNING);
    EXPECT_EQ(problem, 0u);

    // A program holding the card's device open refuses its removal, from
    // the card or from above it, as Windows names the refusal; the stop
    // fails with the link up, and the class installer cannot restart the
    // slot bridge beneath the handle either.
    ASSERT_TRUE(MachineLink::HoldCard(true));
    PNP_VETO_TYPE vetoType = PNP_VetoTypeUnknown;
    wchar_t vetoName[MAX_PATH] = {};
    EXPECT_EQ(CM_Query_And_Remove_SubTreeW(DUMP_FIXTURE_NODE_SLOT_BRIDGE, &vetoType, vetoName, MAX_PATH,
                                           CM_REMOVE_UI_NOT_OK | CM_REMOVE_NO_RESTART),
              static_cast<CONFIGRET>(CR_REMOVE_VETOED));
    EXPECT_EQ(vetoType, PNP_VetoOutstandingOpen);
    EXPECT_STREQ(vetoName, NODES[DUMP_FIXTURE_NODE_CARD].instanceId);
    std::uint32_t libraryVeto = 0;
    wchar_t holder[MAX_PATH] = {};
    EXPECT_EQ(ZQ_SetStatusWithVeto(BUS, 0, 0, 1, &libraryVeto, vetoName, sizeof vetoName, holder, sizeof holder), 0);
    EXPECT_EQ(libraryVeto, static_cast<std::uint32_t>(PNP_VetoOutstandingOpen));
    EXPECT_STREQ(holder, L"Emulated SATA Card");
    EXPECT_EQ(Machine()->machine.slot.link & LINK_DISABLE, 0u);
    EXPECT_EQ(ZQ_SetStatus(BUS, 2, 1, 0), 0) << "the slot bridge restarted beneath the open handle";
    ASSERT_EQ(ZQ_GetCardInfo(BUS, nullptr, 0, &status, &problem), 1);
    EXPECT_EQ(status, CARD_RUNNING);
    EXPECT_TRUE(Machine()->Present(DUMP_FIXTURE_NODE_DISK));
    ASSERT_TRUE(MachineLink::HoldCard(false));
    EXPECT_FALSE(MachineLink::HoldCard(false)) << "a handle closed that nobody had open";

    // A stop with the disk test: no disk below the slot holds it back.
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 0, 1), 1);
    EXPECT_NE(Machine()->machine.slot.link & LINK_DISABLE, 0u);
    EXPECT_EQ(ZQ_GetCardInfo(BUS, description, sizeof description, &status, &problem), 0);
    EXPECT_STREQ(description, L"");
}

// A scan finds the card only if it answers then, and nothing scans again by
// itself: the start waits for the trained link and the card's answer first.
TEST_F(EmulatedPc, AStartWaitsForTheTrainedLinkAndTheCardAndATooLateCardIsNeverFound) {
    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 0, 0), 1);
    ASSERT_TRUE(Insert(600));
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    EXPECT_TRUE(CardDevice()) << "the start did not wait for the link to train";

    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 0, 0), 1);
    DumpFixtureCard late{};
    // Well past the library's second for the card to answer, which counts
    // its 20 ms pauses and so runs longer on a busy machine.
    late.answersMs = 4000;
    ASSERT_TRUE(MachineLink::Insert(late));
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    EXPECT_FALSE(CardDevice());
    Sleep(3500);
    EXPECT_FALSE(CardDevice()) << "something scanned the bus again by itself";
    EXPECT_EQ(
        CM_Reenumerate_DevNode(DUMP_FIXTURE_NODE_SLOT_BRIDGE, CM_REENUMERATE_SYNCHRONOUS | CM_REENUMERATE_ASYNCHRONOUS),
        static_cast<CONFIGRET>(CR_INVALID_FLAG));
    ASSERT_EQ(CM_Reenumerate_DevNode(DUMP_FIXTURE_NODE_SLOT_BRIDGE, CM_REENUMERATE_SYNCHRONOUS),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_TRUE(CardDevice()) << "the synchronous scan returned before finding the card";
}

// As on Windows, a stopped card's devices leave some time after the stop's
// re-enumeration has returned; the link enabled meanwhile keeps them. The
// stop removed them first: the card's devnode stays held for eject, kept
// from restarting by any scan, until the start resets it.
TEST_F(EmulatedPc, ALingeringCardsDevnodesLeaveOnlyAfterTheLinger) {
    ASSERT_TRUE(Insert(0, DUMP_FIXTURE_NEEDS_NOTHING, L"Test Card", 1000));
    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 0, 0), 1);
    EXPECT_NE(Machine()->machine.slot.link & LINK_DISABLE, 0u);
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    EXPECT_EQ(ZQ_GetCardInfo(BUS, nullptr, 0, &status, &problem), 1) << "the card's devnode left at once";
    EXPECT_EQ(problem, CM_PROB_HELD_FOR_EJECT_CODE);
    EXPECT_EQ(status & DN_STARTED_FLAG, 0u);
    EXPECT_FALSE(Machine()->Present(DUMP_FIXTURE_NODE_DISK)) << "the removal left the card's disk";
    // Still in the tree, as Device Manager lists a device prepared for safe
    // removal; its disk is among the devices not present.
    DEVINST located = 0;
    EXPECT_EQ(CM_Locate_DevNodeW(&located, const_cast<wchar_t*>(NODES[DUMP_FIXTURE_NODE_CARD].instanceId), 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    auto* disk = const_cast<wchar_t*>(NODES[DUMP_FIXTURE_NODE_DISK].instanceId);
    EXPECT_EQ(CM_Locate_DevNodeW(&located, disk, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Locate_DevNodeW(&located, disk, CM_LOCATE_DEVNODE_PHANTOM), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_GT(Machine()->machine.leavingMs, 0u);
    Sleep(1100);
    EXPECT_FALSE(CardDevice());
    EXPECT_FALSE(Machine()->Present(DUMP_FIXTURE_NODE_DISK));

    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    const std::uint32_t enables = Machine()->machine.linkEnables;
    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 0, 0), 1);
    ASSERT_EQ(CM_Reenumerate_DevNode(DUMP_FIXTURE_NODE_CARD, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    ASSERT_EQ(ZQ_GetCardInfo(BUS, nullptr, 0, nullptr, &problem), 1);
    EXPECT_EQ(problem, CM_PROB_HELD_FOR_EJECT_CODE) << "a scan restarted a card kept from restarting";
    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    EXPECT_EQ(Machine()->machine.linkEnables, enables + 1);
    Sleep(1100);
    EXPECT_TRUE(CardDevice()) << "the link came back before the devnodes left";
    ASSERT_EQ(ZQ_GetCardInfo(BUS, nullptr, 0, &status, &problem), 1);
    EXPECT_EQ(status, CARD_RUNNING) << "the start did not bring the removed card back";
    EXPECT_TRUE(Machine()->Present(DUMP_FIXTURE_NODE_DISK));

    // A card pulled while a program holds its device open: the devnode
    // stays, its removal pending, until the handle closes.
    ASSERT_TRUE(MachineLink::HoldCard(true));
    ASSERT_TRUE(MachineLink::Pull());
    ASSERT_EQ(ZQ_GetCardInfo(BUS, nullptr, 0, &status, &problem), 1);
    EXPECT_EQ(status, STATUS_REMOVAL_PENDING | DN_REMOVABLE_FLAG);
    EXPECT_EQ(problem, 0u);
    EXPECT_FALSE(Machine()->Present(DUMP_FIXTURE_NODE_DISK));
    EXPECT_FALSE(MachineLink::HoldCard(true)) << "a device already gone was opened";
    Sleep(1100);
    EXPECT_TRUE(CardDevice()) << "the held devnode left with the linger";
    ASSERT_TRUE(MachineLink::HoldCard(false));
    EXPECT_FALSE(CardDevice());
}

// A device that failed to start: listed, with its problem, without DN_STARTED and without children.
TEST_F(EmulatedPc, ACardWithAProblemComesUpNotStarted) {
    ASSERT_TRUE(Insert(0, DUMP_FIXTURE_NEEDS_NOTHING, L"Broken Card", 0, 10));
    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    ASSERT_EQ(ZQ_GetCardInfo(BUS, nullptr, 0, &status, &problem), 1);
    EXPECT_EQ(problem, 10u) << "CM_PROB_FAILED_START";
    EXPECT_EQ(status & DN_STARTED_FLAG, 0u);
    EXPECT_NE(status & DN_HAS_PROBLEM_FLAG, 0u);
    EXPECT_FALSE(Machine()->Present(DUMP_FIXTURE_NODE_DISK));

    // A card whose driver Windows installs first is not configured until the install has ended.
    DumpFixtureCard installing{};
    installing.installsMs = 1000;
    ASSERT_TRUE(MachineLink::Insert(installing));
    ASSERT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    ASSERT_EQ(ZQ_GetCardInfo(BUS, nullptr, 0, &status, &problem), 1);
    EXPECT_EQ(problem, 1u) << "CM_PROB_NOT_CONFIGURED";
    EXPECT_EQ(status & DN_STARTED_FLAG, 0u);
    EXPECT_FALSE(Machine()->Present(DUMP_FIXTURE_NODE_DISK));
    Sleep(1100);
    ASSERT_EQ(ZQ_GetCardInfo(BUS, nullptr, 0, &status, &problem), 1);
    EXPECT_EQ(problem, 0u);
    EXPECT_EQ(status, CARD_RUNNING);
}

// The start flow's fallbacks: a link cycle, then the class-installer cycle
// that only the 64-bit service can run on 64-bit Windows.
TEST_F(EmulatedPc, ACardThatNeedsACycleComesUpOnlyThroughThatCycle) {
    ASSERT_TRUE(Insert(0, DUMP_FIXTURE_NEEDS_LINK_CYCLE));
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    EXPECT_FALSE(CardDevice());
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 0, 0), 1);
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    EXPECT_TRUE(CardDevice());

    ASSERT_TRUE(Insert(0, DUMP_FIXTURE_NEEDS_DEVICE_CYCLE));
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 0, 0), 1);
    EXPECT_EQ(ZQ_SetStatus(BUS, 0, 1, 0), 1);
    EXPECT_FALSE(CardDevice()) << "a link cycle is not enough for this card";
    const std::uint32_t changesBefore = Machine()->machine.stateChanges;
    EXPECT_EQ(ZQ_SetStatus(BUS, 2, 1, 0), 1);
    EXPECT_EQ(ZQ_SetStatus(BUS, 1, 1, 0), 1);
    EXPECT_TRUE(CardDevice());
    // The slot bridge alone was restarted; its enable found it running.
    EXPECT_EQ(Machine()->machine.stateChanges - changesBefore, 1u);
    EXPECT_EQ(Machine()->machine.disabled, 0u);
}

TEST_F(EmulatedPc, TheFilterIsRegisteredBehindTheRootPortsOwnAndRemovedAgain) {
    // The filter is registered only while its driver's service key exists.
    ASSERT_TRUE(CreateDriverKey());
    EXPECT_EQ(ZQ_DoesExistNoFilterRootPort(), 1);
    constexpr std::wstring_view OWN = L"OtherFilter\0\0"sv;
    ASSERT_TRUE(SetRootPortFilters(OWN));
    EXPECT_EQ(ZQ_AddFilter(), 1);
    EXPECT_EQ(RootPortFilters(), std::wstring(L"OtherFilter\0QN38UP\0\0"sv));
    EXPECT_EQ(ZQ_DoesExistNoFilterRootPort(), 0);
    EXPECT_EQ(ZQ_AddFilter(), 1) << "registered already";
    EXPECT_EQ(RootPortFilters(), std::wstring(L"OtherFilter\0QN38UP\0\0"sv));
    EXPECT_EQ(ZQ_DelFilter(), 1);
    EXPECT_EQ(RootPortFilters(), std::wstring(L"OtherFilter\0\0"sv));
    ASSERT_TRUE(SetRootPortFilters(L"QN38UP\0\0"sv));
    EXPECT_EQ(ZQ_DelFilter(), 1);
    EXPECT_EQ(RootPortFilters(), std::nullopt) << "an emptied list is deleted";
    DeleteDriverKey();
}

}  // namespace

int main(int argc, char** argv) {
    // Not yet on the fixtures: once more, with the override.
    if (!OnTheFixture(L"setupapi.dll")) {
        if (GetEnvironmentVariableW(L"QN38_PC_TEST_AGAIN", nullptr, 0) != 0) {
            std::fprintf(stderr, "pc_test: the DLL override did not bring the fixtures in\n");
            return 1;
        }
        return RunOnTheFixtures();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
