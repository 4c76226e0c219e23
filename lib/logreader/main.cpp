// qn38logread FILE: prints a QN38.LOG ring from the oldest entry to the
// newest, with the time its header was created. Exit status 0 when the file
// was listed, 1 when it is no usable log, 2 when it cannot be read.
#include <cstdio>
#include <string>
#include <vector>

#include "core/log_layout.h"
#include "core/log_reader.h"

namespace {

// Only the ring's 1,000,000 bytes can hold entries; a longer file is read no further.
bool ReadUpToRing(std::FILE* file, std::vector<std::uint8_t>& bytes) {
    bytes.resize(qn38::LOG_FILE_MAX_BYTES);
    const std::size_t read = std::fread(bytes.data(), 1, bytes.size(), file);
    if (std::ferror(file)) return false;
    bytes.resize(read);
    return true;
}

template <typename Char>
int Run(int argc, Char** argv, std::FILE* (*open)(const Char*), std::string (*show)(const Char*)) {
    if (argc != 2) {
        std::fputs("usage: qn38logread QN38.LOG\n", stderr);
        return 2;
    }
    const std::string name = show(argv[1]);
    std::FILE* file = open(argv[1]);
    if (file == nullptr) {
        std::fprintf(stderr, "qn38logread: %s: cannot be opened\n", name.c_str());
        return 2;
    }
    std::vector<std::uint8_t> bytes;
    const bool read = ReadUpToRing(file, bytes);
    std::fclose(file);
    if (!read) {
        std::fprintf(stderr, "qn38logread: %s: cannot be read\n", name.c_str());
        return 2;
    }
    const qn38::LogReadResult result = qn38::DecodeLog(bytes);
    if (!result.log) {
        std::fprintf(stderr, "qn38logread: %s: %s\n", name.c_str(), result.error.c_str());
        return 1;
    }
    const std::string listing = qn38::RenderLog(*result.log);
    std::fwrite(listing.data(), 1, listing.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 2;
}

}  // namespace

#if defined(_WIN32)
// Wide arguments, so that a path in any language opens.
int wmain(int argc, wchar_t** argv) {
    return Run<wchar_t>(
        argc, argv, [](const wchar_t* path) { return _wfopen(path, L"rb"); },
        [](const wchar_t* path) {
            std::string shown;
            for (const wchar_t* unit = path; *unit != 0; ++unit) shown.push_back(*unit < 0x80 ? char(*unit) : '?');
            return shown;
        });
}
#else
int main(int argc, char** argv) {
    return Run<char>(
        argc, argv, [](const char* path) { return std::fopen(path, "rb"); },
        [](const char* path) { return std::string(path); });
}
#endif
