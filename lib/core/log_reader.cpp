#include "lib/core/log_reader.h"

#include <algorithm>
#include <cstring>

#include "lib/core/log_layout.h"

namespace qn38 {
namespace {

std::string TextUpToZero(const std::uint8_t* bytes, std::size_t size) {
    const auto* end = std::find(bytes, bytes + size, std::uint8_t{0});
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(end - bytes));
}

}  // namespace

LogReadResult DecodeLog(std::span<const std::uint8_t> file) {
    LogReadResult result;
    if (file.size() < LOG_SLOT_SIZE) {
        result.error = "too short for a log: " + std::to_string(file.size()) + " bytes, its header alone takes " +
                       std::to_string(LOG_SLOT_SIZE);
        return result;
    }
    LogSlot slot{};
    std::memcpy(slot.data(), file.data(), LOG_SLOT_SIZE);
    const LogHeader header = DecodeLogHeader(slot);
    if (!HasLogMarker(header)) {
        result.error = "not a QN38 log: the file does not begin with the marker \"QN38LOG\"";
        return result;
    }
    if (!IsUsableLogHeader(header)) {
        result.error = "damaged log header: next slot " + std::to_string(header.nextSlot) + " lies outside 1 to " +
                       std::to_string(LOG_SLOT_COUNT - 1);
        return result;
    }

    DecodedLog log;
    log.created = TextUpToZero(reinterpret_cast<const std::uint8_t*>(header.created), sizeof header.created);
    log.nextSlot = header.nextSlot;
    const std::uint64_t size = std::min<std::uint64_t>(file.size(), LOG_FILE_MAX_BYTES);
    // The oldest entry is the one the next write overwrites; slots the file
    // does not reach yet were never written.
    for (std::uint32_t step = 0; step < LOG_SLOT_COUNT - 1; ++step) {
        const std::uint32_t index = (header.nextSlot - 1 + step) % (LOG_SLOT_COUNT - 1) + 1;
        const std::uint64_t offset = std::uint64_t{index} * LOG_SLOT_SIZE;
        if (offset >= size) continue;
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(LOG_SLOT_SIZE, size - offset));
        log.entries.push_back({index, TextUpToZero(file.data() + offset, length)});
    }
    result.log = std::move(log);
    return result;
}

LogReadResult SalvageLog(std::span<const std::uint8_t> file) {
    LogReadResult result;
    const std::uint64_t size = std::min<std::uint64_t>(file.size(), LOG_FILE_MAX_BYTES);
    if (size <= LOG_SLOT_SIZE) {
        result.error = "too short for a log: " + std::to_string(file.size()) + " bytes, no slot after the header";
        return result;
    }
    DecodedLog log;
    log.salvaged = true;
    for (std::uint32_t index = 1; index < LOG_SLOT_COUNT; ++index) {
        const std::uint64_t offset = std::uint64_t{index} * LOG_SLOT_SIZE;
        if (offset >= size) break;
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(LOG_SLOT_SIZE, size - offset));
        std::string text = TextUpToZero(file.data() + offset, length);
        if (!text.empty()) log.entries.push_back({index, std::move(text)});
    }
    result.log = std::move(log);
    return result;
}

std::string RenderLog(const DecodedLog& log) {
    const std::string count = std::to_string(log.entries.size()) + (log.entries.size() == 1 ? " entry" : " entries");
    std::string out = log.salvaged ? "QN38.LOG with a damaged header: " + count +
                                         " in slot order (which is the oldest is not known)\n"
                                   : "QN38.LOG created " + log.created + ", next slot " + std::to_string(log.nextSlot) +
                                         ", " + count + ", oldest first\n";
    for (const auto& entry : log.entries) {
        out += "[slot " + std::to_string(entry.slot) + "]";
        std::string text;
        text.reserve(entry.text.size());
        for (std::size_t i = 0; i < entry.text.size(); ++i) {
            if (entry.text[i] == '\r' && i + 1 < entry.text.size() && entry.text[i + 1] == '\n') continue;
            text.push_back(entry.text[i]);
        }
        // Report entries begin with their own line break; plain texts get one.
        if (text.empty() || text.front() != '\n') out.push_back('\n');
        out += text;
        out.push_back('\n');
    }
    return out;
}

}  // namespace qn38
