// What the log's readers print for one QN38.LOG: the listing, or why the
// file is no usable log. Shared by qn38logread and qn38ctl's log command.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "lib/logreader/code_page.h"

namespace qn38::logreader {

struct LogListing {
    int status = 0;        // 0 listed, 1 no usable log
    std::string listing;   // for stdout
    std::string messages;  // for stderr, each line prefixed with "PROGRAM: NAME: "
};

// `decoder` null: the entries' bytes as they are.
LogListing ListLog(std::span<const std::uint8_t> file, bool salvage, CodePageDecoder* decoder, std::string_view program,
                   std::string_view name);

}  // namespace qn38::logreader
