// qn38logread [--code-page N] [--salvage] FILE: prints a QN38.LOG ring from
// the oldest entry to the newest, with the time its header was created; the
// entries decoded from the writer's ANSI code page to UTF-8. Exit status 0
// when the file was listed, 1 when it is no usable log, 2 when it cannot be
// read or the options are wrong.
#include <charconv>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lib/logreader/code_page.h"
#include "lib/core/log_layout.h"
#include "lib/logreader/log_listing.h"

namespace {

constexpr const char* USAGE =
    "usage: qn38logread [--code-page N] [--salvage] QN38.LOG\n"
    "  --code-page N  the ANSI code page of the PC that wrote the log (932 on a Japanese PC, 1252 on\n"
    "                 a Western one); without it, on Windows this PC's own, elsewhere the bytes as they are\n"
    "  --salvage      for a damaged header: list every slot that holds text, in slot order\n";

// Only the ring's 1,000,000 bytes can hold entries; a longer file is read no further.
bool ReadUpToRing(std::FILE* file, std::vector<std::uint8_t>& bytes) {
    bytes.resize(qn38::LOG_FILE_MAX_BYTES);
    const std::size_t read = std::fread(bytes.data(), 1, bytes.size(), file);
    if (std::ferror(file)) return false;
    bytes.resize(read);
    return true;
}

struct Options {
    std::optional<std::uint32_t> codePage = qn38::logreader::DefaultCodePage();
    bool salvage = false;
    int file = 0;  // the argument that names the file
};

template <typename Char>
std::optional<Options> ParseOptions(int argc, Char** argv, std::string (*show)(const Char*)) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = show(argv[i]);
        if (argument == "--salvage") {
            options.salvage = true;
        } else if (argument == "--code-page" && i + 1 < argc) {
            const std::string number = show(argv[++i]);
            std::uint32_t value = 0;
            const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
            if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
            options.codePage = value;
        } else if (options.file == 0 && !argument.starts_with("--")) {
            options.file = i;
        } else {
            return std::nullopt;
        }
    }
    if (options.file == 0) return std::nullopt;
    return options;
}

template <typename Char>
int Run(int argc, Char** argv, std::FILE* (*open)(const Char*), std::string (*show)(const Char*)) {
    const auto options = ParseOptions(argc, argv, show);
    if (!options) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    std::unique_ptr<qn38::logreader::CodePageDecoder> decoder;
    if (options->codePage) {
        decoder = qn38::logreader::OpenCodePage(*options->codePage);
        if (!decoder) {
            std::fprintf(stderr, "qn38logread: code page %u is not known on this machine\n", *options->codePage);
            return 2;
        }
    }
    const Char* path = argv[options->file];
    const std::string name = show(path);
    std::FILE* file = open(path);
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
    const auto listed = qn38::logreader::ListLog(bytes, options->salvage, decoder.get(), "qn38logread", name);
    std::fputs(listed.messages.c_str(), stderr);
    if (listed.status != 0) return listed.status;
    std::fwrite(listed.listing.data(), 1, listed.listing.size(), stdout);
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
