// The Win32 backends of qn38ctl's own ports; the tool's backends serve the rest.
#pragma once

#include <windows.h>

#include "ctl/core/ports/installed_service.h"
#include "tool/core/ports/string_table.h"

namespace qn38::ctl::win32 {

class Win32InstalledService final : public InstalledService {
public:
    ServiceState State() override;
    std::optional<std::u16string> BinaryPathName() override;
};

class Win32SlotRegisters final : public SlotRegisters {
public:
    int ReadPCI(std::uint32_t bus, std::uint32_t offset, std::uint32_t* value) override;
};

class Win32FileReader final : public FileReader {
public:
    std::optional<std::vector<std::uint8_t>> Read(const std::u16string& path, std::size_t maxBytes) override;
};

// The tool's string table in English whatever the user's language: the
// command line speaks to scripts, which match its words. Read from the
// tool's executable beside this one, loaded as data, so that each program
// carries only its own version resource and the texts exist once.
class EnglishStringTable final : public tool::StringTable {
public:
    EnglishStringTable();
    ~EnglishStringTable() override;
    EnglishStringTable(const EnglishStringTable&) = delete;
    EnglishStringTable& operator=(const EnglishStringTable&) = delete;
    std::u16string Load(std::uint32_t id) override;

private:
    HMODULE tool_ = nullptr;
};

}  // namespace qn38::ctl::win32
