#include "sim/machine/sim_files.h"

#include <algorithm>
#include <cstring>

namespace qn38::sim {
namespace {

class SimFile final : public File {
public:
    SimFile(SimFiles& files, std::vector<std::uint8_t>& bytes, std::u16string path)
        : files_(files), bytes_(bytes), path_(std::move(path)) {
        ++files_.counters().opens;
        ++files_.counters().openNow;
    }
    ~SimFile() override { --files_.counters().openNow; }

    std::optional<std::uint32_t> ReadAt(std::uint64_t offset, void* buffer, std::uint32_t bytes) override {
        ++files_.counters().reads;
        if (files_.failReads) return std::nullopt;
        if (offset >= bytes_.size()) return 0u;
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, bytes_.size() - offset));
        std::memcpy(buffer, bytes_.data() + offset, count);
        return count;
    }

    bool WriteAt(std::uint64_t offset, const void* data, std::uint32_t bytes) override {
        ++files_.counters().writes;
        if (files_.failWrites || files_.WriteFailsAt(offset)) return false;
        if (bytes_.size() < offset + bytes) bytes_.resize(offset + bytes, 0);
        std::memcpy(bytes_.data() + offset, data, bytes);
        if (files_.onWrite) files_.onWrite(path_, offset, data, bytes);
        return true;
    }

private:
    SimFiles& files_;
    std::vector<std::uint8_t>& bytes_;
    std::u16string path_;
};

}  // namespace

std::u16string SimFiles::Fold(std::u16string_view path) {
    std::u16string folded(path);
    for (auto& unit : folded) {
        if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
    }
    return folded;
}

std::vector<std::uint8_t>* SimFiles::Find(std::u16string_view path) {
    const auto file = files_.find(Fold(path));
    return file == files_.end() ? nullptr : &file->second;
}

std::unique_ptr<File> SimFiles::OpenAlways(std::u16string_view path) {
    if (failingOpens_.count(Fold(path)) != 0) return nullptr;
    return std::make_unique<SimFile>(*this, files_[Fold(path)], std::u16string(path));
}

std::string SimText::ToAnsi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t unit : text) out.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    return out;
}

std::u16string SimText::Format(std::u16string_view format, std::span<const FormatArg> args) {
    return FormatWs(format, args);
}

std::u16string SimText::FromAnsi(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char byte : text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(byte)));
    return out;
}

}  // namespace qn38::sim
