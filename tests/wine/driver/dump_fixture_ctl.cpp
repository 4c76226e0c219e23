// dump_fixture_ctl: drives the emulated dump driver from shell-run scenarios.
//   dump_fixture_ctl slot BUS [SUBSYSTEM]  the bridge on BUS, slot empty, link up
//   dump_fixture_ctl insert | pull         Presence Detect State on or off
//   dump_fixture_ctl state                 the model and the counters, one line
// Numbers may be decimal or 0x-prefixed hexadecimal. Exit status 0 on success.
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string_view>

#include "dump_fixture.h"

namespace {

bool ParseNumber(const wchar_t* text, std::uint32_t& value) {
    wchar_t* end = nullptr;
    const unsigned long parsed = std::wcstoul(text, &end, 0);
    if (end == text || *end != 0) return false;
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: dump_fixture_ctl slot BUS [SUBSYSTEM] | insert | pull | state\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using namespace qn38::wine;
    if (argc < 2) return Usage();
    const std::wstring_view command = argv[1];
    bool done = false;
    if (command == L"slot" && (argc == 3 || argc == 4)) {
        std::uint32_t bus = 0;
        std::uint32_t subsystem = DUMP_FIXTURE_SUBSYSTEM;
        if (!ParseNumber(argv[2], bus) || bus > 255 || (argc == 4 && !ParseNumber(argv[3], subsystem))) {
            return Usage();
        }
        done = SetDumpFixtureSlot(bus, subsystem);
    } else if ((command == L"insert" || command == L"pull") && argc == 2) {
        done = SetDumpFixtureCard(command == L"insert");
    } else if (command == L"state" && argc == 2) {
        const auto state = DumpFixtureStateNow();
        if (state) {
            std::printf("bus=%u subsystem=0x%08X present=%u link=0x%08X reads=%u writes=%u\n", state->slot.bus,
                        state->slot.subsystem, state->slot.present, state->slot.link, state->reads, state->writes);
        }
        done = state.has_value();
    } else {
        return Usage();
    }
    if (!done) std::fprintf(stderr, "dump_fixture_ctl: the emulated dump driver does not answer\n");
    return done ? 0 : 1;
}
