#include "lib/logreader/log_listing.h"

#include "lib/core/log_reader.h"

namespace qn38::logreader {

LogListing ListLog(std::span<const std::uint8_t> file, bool salvage, CodePageDecoder* decoder, std::string_view program,
                   std::string_view name) {
    LogListing out;
    const std::string prefix = std::string(program) + ": " + std::string(name) + ": ";
    LogReadResult result = DecodeLog(file);
    if (!result.log && salvage) {
        out.messages += prefix + result.error + "; salvaging\n";
        result = SalvageLog(file);
    }
    if (!result.log) {
        out.messages += prefix + result.error + (salvage ? "" : " (--salvage lists its slots all the same)") + "\n";
        out.status = 1;
        return out;
    }
    if (decoder != nullptr) {
        for (auto& entry : result.log->entries) entry.text = decoder->Decode(entry.text);
    }
    out.listing = RenderLog(*result.log);
    return out;
}

}  // namespace qn38::logreader
