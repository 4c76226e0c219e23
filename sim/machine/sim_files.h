// The simulated PC's files, its clock and its ANSI code page.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lib/core/ports/clock.h"
#include "lib/core/ports/files.h"
#include "lib/core/ports/text.h"

namespace qn38::sim {

class SimFiles final : public Files {
public:
    std::u16string executablePath = u"C:\\Program Files\\QN38\\QN38HotPlugService.exe";

    std::vector<std::uint8_t>* Find(std::u16string_view path);
    std::vector<std::uint8_t>& Create(std::u16string_view path) { return files_[Fold(path)]; }
    void Remove(std::u16string_view path) { files_.erase(Fold(path)); }
    bool Exists(std::u16string_view path) const { return files_.count(Fold(path)) != 0; }

    // Opens of this path fail; reads or writes of open files fail.
    void FailOpen(std::u16string_view path) { failingOpens_.insert(Fold(path)); }
    bool failReads = false;
    bool failWrites = false;
    // Writes that begin at this byte offset fail, in any file.
    void FailWritesAt(std::uint64_t offset) { failingWriteOffsets_.insert(offset); }
    bool WriteFailsAt(std::uint64_t offset) const { return failingWriteOffsets_.count(offset) != 0; }

    // What the files cost: opens that succeeded, reads and writes asked for,
    // and the files open right now.
    struct FileCounters {
        std::uint64_t opens = 0;
        std::uint64_t reads = 0;
        std::uint64_t writes = 0;
        std::int64_t openNow = 0;
    };
    FileCounters& counters() { return counters_; }

    // Sees every write that succeeded, after it, with the file's path: a
    // folder on disk can mirror the simulated files this way.
    std::function<void(std::u16string_view path, std::uint64_t offset, const void* data, std::uint32_t bytes)> onWrite;

    std::unique_ptr<File> OpenAlways(std::u16string_view path) override;
    std::u16string ExecutablePath() override { return executablePath; }

    static std::u16string Fold(std::u16string_view path);

private:
    std::map<std::u16string, std::vector<std::uint8_t>> files_;
    std::set<std::u16string> failingOpens_;
    std::set<std::uint64_t> failingWriteOffsets_;
    FileCounters counters_;
};

// Time passes only when someone moves it on: the run between its commands,
// a pause of the library at once (nobody waits for it).
class SimClock final : public Clock {
public:
    LocalTime now{2026, 12, 7, 9, 30, 0};
    std::uint64_t elapsedMilliseconds = 0;  // since the machine was built
    std::vector<std::uint32_t> pauses;      // the library's, in order

    // Called whenever time has moved on (hardware that waits for it).
    std::function<void()> onAdvance;

    void Advance(std::uint64_t milliseconds) {
        elapsedMilliseconds += milliseconds;
        if (onAdvance) onAdvance();
    }
    LocalTime Now() override { return now; }
    void Pause(std::uint32_t milliseconds) override {
        pauses.push_back(milliseconds);
        Advance(milliseconds);
    }
};

// The simulated code page is Latin-1: U+0000 to U+00FF map to the byte of the
// same value, and every other character becomes '?', as WideCharToMultiByte
// does with a character its code page lacks.
class SimText final : public Text {
public:
    std::string ToAnsi(std::u16string_view text) override;
    std::u16string FromAnsi(std::string_view text) override;
    // The portable wsprintf formatter.
    std::u16string Format(std::u16string_view format, std::span<const FormatArg> args) override;
};

}  // namespace qn38::sim
