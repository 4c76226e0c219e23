// qn38ctl: the product's command line for scripts. Every change goes to the
// service through the tray tool's own client and slot work, so a stop from
// here is the tool's stop (volume test, link disable, log line) and takes
// its turn with the tools of every session; the reads are the tool's
// read-only queries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/core/ports/registry.h"
#include "tool/core/ports/string_table.h"
#include "tool/core/slot_work.h"
#include "ctl/core/ports/installed_service.h"

namespace qn38::ctl {

// The exit codes scripts rely on.
inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_REFUSED = 1;     // the stop was refused, the card did not start, the log is unusable
inline constexpr int EXIT_USAGE = 2;       // bad arguments, or a bus without a slot
inline constexpr int EXIT_NO_SERVICE = 3;  // the service could not be reached (or is not installed)

struct CtlPorts {
    tool::SlotWorkPorts work;
    tool::StringTable& strings;  // the tool's texts, English
    Registry& registry;
    SlotRegisters& registers;
    InstalledService& installed;
    FileReader& files;
};

struct CtlResult {
    int exitCode = EXIT_DONE;
    std::string out;  // UTF-8
    std::string err;
};

// `arguments` without the program's name, as UTF-8.
CtlResult RunCtl(const std::vector<std::string>& arguments, const CtlPorts& ports);

// The executable in a service's command line: the quoted path, or the text
// up to the first ".exe" followed by a blank or the end.
std::u16string ExecutableOfCommandLine(std::u16string_view commandLine);

}  // namespace qn38::ctl
