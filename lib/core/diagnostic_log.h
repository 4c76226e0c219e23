// The diagnostic log: a ring of 200-byte slots beside the calling executable.
#pragma once

#include <string>
#include <string_view>

#include "lib/core/ports/platform.h"

namespace qn38 {

// An entry of a report is composed in a buffer of this many units, its
// terminator included; what does not fit is cut.
inline constexpr std::size_t LOG_ENTRY_UNITS = 260;

// The log's path: the executable's drive and directory, then LOG_FILE_NAME.
// Empty when the path has no directory part, for then the log's place is unknown.
std::u16string LogPathBeside(std::u16string_view executablePath);

// Appends `text` (UTF-16, converted to the ANSI code page, cut to one slot)
// as the ring's next entry; a null text only checks the header. Nonzero on
// success, 0 when the file cannot be opened, read or written.
int WriteLogFile(Platform& platform, const char16_t* text);

// Writes a whole report: the title entry, the driver's registry settings,
// every PCI device carrying the filter, every slot bridge with its registers
// and the card below it. The title is ANSI, at most 200 bytes of it are read.
// 1 when every entry was written, 0 otherwise.
int WriteLog(Platform& platform, const char* title);

}  // namespace qn38
