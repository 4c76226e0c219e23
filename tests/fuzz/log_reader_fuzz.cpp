// libFuzzer target: the log reader on files of any content and length: a
// clear refusal or a listing, never a crash or a read past the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "lib/core/log_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto copy = std::make_unique<std::uint8_t[]>(size);
    std::memcpy(copy.get(), data, size);
    const qn38::LogReadResult result = qn38::DecodeLog(std::span<const std::uint8_t>(copy.get(), size));
    if (!result.log) {
        if (result.error.empty()) std::abort();
        return 0;
    }
    if (result.log->nextSlot < 1 || result.log->nextSlot > 4999) std::abort();
    if (result.log->entries.size() > 4999 || result.log->created.size() > 20) std::abort();
    for (const auto& entry : result.log->entries) {
        if (entry.text.size() > 200 || entry.slot < 1 || entry.slot > 4999) std::abort();
    }
    const std::string listing = qn38::RenderLog(*result.log);
    if (listing.empty()) std::abort();
    return 0;
}
