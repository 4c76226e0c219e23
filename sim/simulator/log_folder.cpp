#include "sim/simulator/log_folder.h"

#include <fstream>
#include <stdexcept>

#include "lib/include/QN38HotPlug.h"
#include "lib/core/constants.h"
#include "sim/tool/sim_resources.h"

namespace qn38::sim {
namespace {

// A plain file name: the simulated folder's files only, never a way out of
// the real folder.
bool PlainName(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") return false;
    for (const char16_t unit : name) {
        if (unit < 0x20 || unit >= 0x7F) return false;
        if (std::u16string_view(u"<>:\"/\\|?*").find(unit) != std::u16string_view::npos) return false;
    }
    return true;
}

std::u16string FolderOf(std::u16string_view path) {
    const auto slash = path.find_last_of(u"\\/");
    return SimFiles::Fold(slash == std::u16string_view::npos ? std::u16string_view() : path.substr(0, slash + 1));
}

}  // namespace

LogFolder::LogFolder(std::filesystem::path folder, SimFiles& files, bool keep)
    : folder_(std::move(folder)), files_(files), simulatedFolder_(FolderOf(files.executablePath)) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (!std::filesystem::is_directory(folder_)) {
        throw std::runtime_error("the working folder " + folder_.string() + " cannot be created");
    }
    const std::u16string logName = U16(LOG_FILE_NAME);
    const auto onDisk = LogPath();
    if (keep) {
        if (auto bytes = Read(onDisk, std::uint64_t{LOG_SLOT_SIZE} * LOG_SLOT_COUNT)) {
            files_.Create(simulatedFolder_ + logName) = std::move(*bytes);
        }
    } else {
        std::filesystem::remove(onDisk, error);
        if (std::filesystem::exists(onDisk)) {
            throw std::runtime_error("the earlier log " + onDisk.string() + " cannot be removed");
        }
    }
    files_.onWrite = [this](std::u16string_view path, std::uint64_t offset, const void* data, std::uint32_t bytes) {
        Mirror(path, offset, data, bytes);
    };
}

LogFolder::~LogFolder() { files_.onWrite = nullptr; }

std::filesystem::path LogFolder::LogPath() const { return folder_ / Utf8FromUtf16(U16(LOG_FILE_NAME)); }

void LogFolder::Mirror(std::u16string_view path, std::uint64_t offset, const void* data, std::uint32_t bytes) {
    const std::u16string folded = SimFiles::Fold(path);
    if (!folded.starts_with(simulatedFolder_)) return;
    const std::u16string name = folded.substr(simulatedFolder_.size());
    if (!PlainName(name)) return;
    const auto target = folder_ / Utf8FromUtf16(path.substr(path.size() - name.size()));

    std::fstream file(target, std::ios::in | std::ios::out | std::ios::binary);
    if (!file.is_open()) {
        // OPEN_ALWAYS: created when missing.
        std::ofstream(target, std::ios::binary).close();
        file.open(target, std::ios::in | std::ios::out | std::ios::binary);
    }
    if (file.is_open()) {
        file.seekp(static_cast<std::streamoff>(offset));
        file.write(static_cast<const char*>(data), bytes);
        file.flush();
    }
    if (!file.is_open() || !file.good()) {
        std::lock_guard lock(mutex_);
        const std::string failure = "writing " + target.string() + " failed";
        for (const auto& known : failures_) {
            if (known == failure) return;
        }
        failures_.push_back(failure);
    }
}

std::optional<std::vector<std::uint8_t>> LogFolder::Read(const std::filesystem::path& file,
                                                         std::uint64_t maximum) const {
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) return std::nullopt;
    std::vector<std::uint8_t> bytes(maximum);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(maximum));
    if (in.bad()) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

std::vector<std::string> LogFolder::Failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

}  // namespace qn38::sim
