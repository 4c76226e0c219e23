// qn38-wine-pc: drives the emulated PC under Wine, for people and tests.
//   qn38-wine-pc install [--bus N] [--dir DIR]
//       registers and starts the emulated dump driver (dump_fixture.sys
//       beside this program) with the slot on bus N (default 5), copies the
//       emulated setupapi.dll and cfgmgr32.dll (wine-pc\ beside this program)
//       into DIR (default %ProgramFiles%\QN38HotPlug) and sets the prefix's
//       DLL overrides for QN38HotPlugTool.exe, QN38HotPlugService.exe and qn38ctl.exe, so
//       that every later start of the product in DIR runs on this machine
//   qn38-wine-pc remove [--dir DIR]     undoes all of install
//   qn38-wine-pc insert BUS [--name TEXT] [--training MS] [--answers MS] [--installs MS]
//                           [--needs link-cycle|device-cycle] [--linger MS] [--problem CODE]
//       --answers: once its link has trained the card asks for its configuration
//       reads to be retried for MS more; --installs: Windows installs its driver,
//       and its devnode starts MS after it appeared
//   qn38-wine-pc pull BUS
//   qn38-wine-pc hold-card BUS | release-card BUS
//       a program opens, or closes, a handle on the card's device, as a terminal
//       program holds a COM port: while one is open Plug and Play cannot remove
//       the card, and a card whose link drops keeps its devnode, its removal
//       pending, until the last is closed. The handles stay with the machine
//       after this program ends
//   qn38-wine-pc defer-stops N          the class installer cannot stop the next N devices it is
//                                       asked to disable, stop or restart, and says DI_NEEDRESTART
//   qn38-wine-pc slot BUS [SUBSYSTEM]   the slot bridge moved to BUS (with another subsystem
//                                       ID, to be another maker's bridge), slot empty, link up
//   qn38-wine-pc filter on|off          QN38UP alone on the root port's upper filters, or none
//   qn38-wine-pc state                  one line per fact
// Exit status 0 on success, 1 when the machine cannot be reached or changed,
// 2 with a message on bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "sim/winepc/machine.h"

namespace {

using namespace qn38::winepc;

constexpr const wchar_t* DRIVER_SERVICE = L"qn38dumpfixture";
constexpr const wchar_t* PRODUCT_EXECUTABLES[] = {L"QN38HotPlugTool.exe", L"QN38HotPlugService.exe", L"qn38ctl.exe"};
constexpr const wchar_t* FIXTURE_DLLS[] = {L"setupapi", L"cfgmgr32"};

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "qn38-wine-pc: %s\n"
                 "usage: qn38-wine-pc install [--bus N] [--dir DIR] | remove [--dir DIR]\n"
                 "       | insert BUS [--name TEXT] [--training MS] [--answers MS] [--installs MS]\n"
                 "                    [--needs link-cycle|device-cycle] [--linger MS] [--problem CODE]\n"
                 "       | pull BUS | hold-card BUS | release-card BUS | defer-stops N\n"
                 "       | slot BUS [SUBSYSTEM] | filter on|off | state\n",
                 problem);
    return 2;
}

int Failed(const char* what) {
    std::fprintf(stderr, "qn38-wine-pc: %s\n", what);
    return 1;
}

bool ParseNumber(const wchar_t* text, std::uint32_t limit, std::uint32_t& value) {
    wchar_t* end = nullptr;
    const unsigned long long parsed = std::wcstoull(text, &end, 0);
    if (end == text || *end != 0 || text[0] == L'-' || parsed > limit) return false;
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD units = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, units);
    return directory.substr(0, directory.find_last_of(L'\\'));
}

std::wstring DefaultProductDirectory() {
    wchar_t programFiles[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    return std::wstring(programFiles) + L"\\QN38HotPlug";
}

// Waits up to ten seconds for the driver's service to reach `wanted`.
bool AwaitState(SC_HANDLE service, DWORD wanted) {
    SERVICE_STATUS status{};
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == wanted) return true;
        Sleep(100);
    }
    return false;
}

bool InstallDriver() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return false;
    const std::wstring binary = ProgramDirectory() + L"\\dump_fixture.sys";
    SC_HANDLE service = OpenServiceW(manager, DRIVER_SERVICE, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        // A registration left by another run may name another file.
        ChangeServiceConfigW(service, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(),
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    } else {
        service = CreateServiceW(manager, DRIVER_SERVICE, DRIVER_SERVICE, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
    }
    bool running = false;
    if (service != nullptr) {
        StartServiceW(service, 0, nullptr);
        running = AwaitState(service, SERVICE_RUNNING);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return running;
}

void RemoveDriver() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    if (const SC_HANDLE service = OpenServiceW(manager, DRIVER_SERVICE, SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS status{};
        if (ControlService(service, SERVICE_CONTROL_STOP, &status)) AwaitState(service, SERVICE_STOPPED);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

std::wstring OverrideKey(const wchar_t* executable) {
    return std::wstring(L"Software\\Wine\\AppDefaults\\") + executable + L"\\DllOverrides";
}

bool SetOverrides() {
    for (const wchar_t* executable : PRODUCT_EXECUTABLES) {
        for (const wchar_t* dll : FIXTURE_DLLS) {
            constexpr wchar_t NATIVE[] = L"native";
            if (RegSetKeyValueW(HKEY_CURRENT_USER, OverrideKey(executable).c_str(), dll, REG_SZ, NATIVE,
                                sizeof NATIVE) != ERROR_SUCCESS) {
                return false;
            }
        }
    }
    return true;
}

void RemoveOverrides() {
    for (const wchar_t* executable : PRODUCT_EXECUTABLES) {
        for (const wchar_t* dll : FIXTURE_DLLS)
            RegDeleteKeyValueW(HKEY_CURRENT_USER, OverrideKey(executable).c_str(), dll);
        RegDeleteKeyW(HKEY_CURRENT_USER, OverrideKey(executable).c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(L"Software\\Wine\\AppDefaults\\") + executable).c_str());
    }
}

bool CopyFixtures(const std::wstring& directory) {
    for (const wchar_t* dll : FIXTURE_DLLS) {
        const std::wstring from = ProgramDirectory() + L"\\wine-pc\\" + dll + L".dll";
        const std::wstring to = directory + L"\\" + dll + L".dll";
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
    }
    return true;
}

void RemoveFixtures(const std::wstring& directory) {
    for (const wchar_t* dll : FIXTURE_DLLS) DeleteFileW((directory + L"\\" + dll + L".dll").c_str());
}

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
    return out;
}

// The entries of a REG_MULTI_SZ list, quoted and separated by commas.
std::string ListText(const BYTE* data, DWORD bytes) {
    std::vector<wchar_t> units(bytes / sizeof(wchar_t) + 1, 0);
    std::memcpy(units.data(), data, bytes);
    std::string text;
    for (std::size_t at = 0; at < units.size() - 1 && units[at] != 0;) {
        const std::wstring_view entry(&units[at]);
        text += (text.empty() ? "\"" : ",\"") + Utf8(entry) + "\"";
        at += entry.size() + 1;
    }
    return text.empty() ? "(empty)" : text;
}

int State() {
    const auto snapshot = MachineLink::Now();
    const auto filters = MachineLink::Filters(DUMP_FIXTURE_NODE_ROOT_PORT);
    if (!snapshot || !filters) return Failed("the emulated machine does not answer (run install first)");
    const DumpFixtureMachine& machine = snapshot->machine;
    std::printf("slot-bus %u\n", machine.slot.bus);
    std::printf("presence %u\n", machine.slot.present != 0 ? 1u : 0u);
    std::printf("link-disable %u\n", (machine.slot.link & 0x10) != 0 ? 1u : 0u);
    if (snapshot->Present(DUMP_FIXTURE_NODE_CARD)) {
        const auto name = PropertyOf(*snapshot, DUMP_FIXTURE_NODE_CARD, SPDRP_DEVICEDESC_CODE);
        std::printf("card-devnode present \"%s\" status 0x%08X problem %u",
                    Utf8(reinterpret_cast<const wchar_t*>(name->bytes.data())).c_str(),
                    snapshot->Status(DUMP_FIXTURE_NODE_CARD), snapshot->Problem(DUMP_FIXTURE_NODE_CARD));
        if (machine.leavingMs != 0) std::printf(" (the link is down: leaving in %u ms)", machine.leavingMs);
        if (snapshot->Removed(DUMP_FIXTURE_NODE_CARD)) {
            std::printf(" (removed%s)", machine.cardNoRestart != 0 ? ", kept from restarting" : "");
        }
        if (machine.cardGone != 0) std::printf(" (gone from the bus: its removal pending)");
        if (machine.cardHandles != 0) std::printf(" handles %u", machine.cardHandles);
        std::printf("\n");
    } else {
        std::printf("card-devnode absent\n");
    }
    if (machine.slot.present != 0) {
        std::printf("card linger %u problem %u answers %u installs %u%s\n", machine.card.lingerMs, machine.card.problem,
                    machine.card.answersMs, machine.card.installsMs,
                    machine.installing != 0 ? " (its driver is being installed)" : "");
    }
    std::printf("slot-bridge %s\n", snapshot->Disabled(DUMP_FIXTURE_NODE_SLOT_BRIDGE) ? "disabled" : "enabled");
    const auto counts = [] {
        DumpFixtureState state{};
        return MachineLink::Control(DUMP_FIXTURE_GET_STATE, nullptr, 0, &state, sizeof state) ? state
                                                                                              : DumpFixtureState{};
    }();
    std::printf(
        "requests dump-reads %u dump-writes %u pnp %u enumerations %u state-changes %u disk-queries %u "
        "link-enables %u\n",
        counts.reads, counts.writes, machine.pnpRequests, machine.enumerations, machine.stateChanges,
        machine.diskQueries, machine.linkEnables);
    if (filters->bytes == DUMP_FIXTURE_NO_VALUE) {
        std::printf("root-port-upper-filters absent\n");
    } else {
        std::printf("root-port-upper-filters %s\n", ListText(filters->data, filters->bytes).c_str());
    }
    return 0;
}

int CheckedBus(const wchar_t* text, std::uint32_t& bus) {
    if (!ParseNumber(text, 255, bus)) return Usage("BUS is a number from 0 to 255");
    const auto snapshot = MachineLink::Now();
    if (!snapshot) return Failed("the emulated machine does not answer (run install first)");
    if (snapshot->machine.slot.bus != bus) {
        std::fprintf(stderr, "qn38-wine-pc: the slot is on bus %u, not on bus %u\n", snapshot->machine.slot.bus, bus);
        return 1;
    }
    return 0;
}

int Insert(int argc, wchar_t** argv) {
    if (argc < 3) return Usage("insert needs a BUS");
    DumpFixtureCard card{};
    std::wstring_view name = L"ExpressCard SATA Controller";
    for (int at = 3; at < argc; at += 2) {
        const std::wstring_view option = argv[at];
        if (at + 1 >= argc) return Usage("an option lacks its value");
        const wchar_t* value = argv[at + 1];
        if (option == L"--name") {
            name = value;
            if (name.empty() || name.size() >= DUMP_FIXTURE_NAME_UNITS)
                return Usage("--name takes 1 to 127 characters");
        } else if (option == L"--training") {
            if (!ParseNumber(value, 600000, card.trainingMs)) return Usage("--training takes 0 to 600000 milliseconds");
        } else if (option == L"--answers") {
            if (!ParseNumber(value, 600000, card.answersMs)) return Usage("--answers takes 0 to 600000 milliseconds");
        } else if (option == L"--installs") {
            if (!ParseNumber(value, 600000, card.installsMs)) return Usage("--installs takes 0 to 600000 milliseconds");
        } else if (option == L"--linger") {
            if (!ParseNumber(value, 600000, card.lingerMs)) return Usage("--linger takes 0 to 600000 milliseconds");
        } else if (option == L"--problem") {
            if (!ParseNumber(value, 255, card.problem) || card.problem == 0) {
                return Usage("--problem takes a CM_PROB_ code from 1 to 255");
            }
        } else if (option == L"--needs") {
            const std::wstring_view needs = value;
            if (needs == L"link-cycle") {
                card.needs = DUMP_FIXTURE_NEEDS_LINK_CYCLE;
            } else if (needs == L"device-cycle") {
                card.needs = DUMP_FIXTURE_NEEDS_DEVICE_CYCLE;
            } else {
                return Usage("--needs takes link-cycle or device-cycle");
            }
        } else {
            return Usage("unknown option of insert");
        }
    }
    std::uint32_t bus = 0;
    if (const int status = CheckedBus(argv[2], bus); status != 0) return status;
    std::memcpy(card.name, name.data(), name.size() * sizeof(wchar_t));
    return MachineLink::Insert(card) ? 0 : Failed("the card could not be inserted");
}

int Filter(const std::wstring_view setting) {
    DumpFixtureFilters filters{};
    filters.devnode = DUMP_FIXTURE_NODE_ROOT_PORT;
    if (setting == L"on") {
        constexpr wchar_t LIST[] = L"QN38UP\0";
        filters.bytes = sizeof LIST;
        std::memcpy(filters.data, LIST, sizeof LIST);
    } else if (setting == L"off") {
        filters.bytes = DUMP_FIXTURE_NO_VALUE;
    } else {
        return Usage("filter takes on or off");
    }
    return MachineLink::SetFilters(filters) ? 0 : Failed("the emulated machine does not answer (run install first)");
}

// Reads `--dir DIR` and `--bus N` (install only) from argv[2...].
bool InstallOptions(int argc, wchar_t** argv, bool busAllowed, std::wstring& directory, std::uint32_t& bus) {
    for (int at = 2; at < argc; at += 2) {
        const std::wstring_view option = argv[at];
        if (at + 1 >= argc) return false;
        if (option == L"--dir") {
            directory = argv[at + 1];
        } else if (option == L"--bus" && busAllowed) {
            if (!ParseNumber(argv[at + 1], 255, bus)) return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage("no command");
    const std::wstring_view command = argv[1];
    if (command == L"install" || command == L"remove") {
        const bool install = command == L"install";
        std::wstring directory = DefaultProductDirectory();
        std::uint32_t bus = 5;
        if (!InstallOptions(argc, argv, install, directory, bus)) return Usage("bad options for install or remove");
        if (!install) {
            RemoveOverrides();
            RemoveFixtures(directory);
            RemoveDriver();
            return 0;
        }
        if (GetFileAttributesW(directory.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return Failed("the product's folder does not exist: install the product first");
        }
        if (!InstallDriver()) return Failed("the emulated dump driver did not start");
        if (!MachineLink::PlaceSlot(bus)) return Failed("the emulated machine does not answer");
        if (!CopyFixtures(directory)) return Failed("the emulated setupapi.dll and cfgmgr32.dll could not be copied");
        if (!SetOverrides()) return Failed("the DLL overrides could not be set");
        return 0;
    }
    if (command == L"insert") return Insert(argc, argv);
    if (command == L"pull") {
        if (argc != 3) return Usage("pull takes a BUS");
        std::uint32_t bus = 0;
        if (const int status = CheckedBus(argv[2], bus); status != 0) return status;
        return MachineLink::Pull() ? 0 : Failed("the card could not be pulled");
    }
    if (command == L"hold-card" || command == L"release-card") {
        if (argc != 3) return Usage("hold-card and release-card take a BUS");
        std::uint32_t bus = 0;
        if (const int status = CheckedBus(argv[2], bus); status != 0) return status;
        const bool open = command == L"hold-card";
        if (MachineLink::HoldCard(open)) return 0;
        return Failed(open ? "the card has no started device to open" : "no handle is open on the card's device");
    }
    if (command == L"defer-stops") {
        std::uint32_t count = 0;
        if (argc != 3 || !ParseNumber(argv[2], 1000, count)) return Usage("defer-stops takes a count from 0 to 1000");
        return MachineLink::DeferStops(count) ? 0 : Failed("the emulated machine does not answer (run install first)");
    }
    if (command == L"slot") {
        std::uint32_t bus = 0;
        std::uint32_t subsystem = DUMP_FIXTURE_SUBSYSTEM;
        if ((argc != 3 && argc != 4) || !ParseNumber(argv[2], 255, bus) ||
            (argc == 4 && !ParseNumber(argv[3], 0xFFFFFFFF, subsystem))) {
            return Usage("slot takes a BUS from 0 to 255 and may take a SUBSYSTEM");
        }
        return MachineLink::PlaceSlot(bus, subsystem)
                   ? 0
                   : Failed("the emulated machine does not answer (run install first)");
    }
    if (command == L"filter") {
        if (argc != 3) return Usage("filter takes on or off");
        return Filter(argv[2]);
    }
    if (command == L"state") {
        if (argc != 2) return Usage("state takes no arguments");
        return State();
    }
    return Usage("unknown command");
}
