// What qn38ctl asks of Windows beyond the tool's ports: the installed
// service, the link register, and the one file it reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qn38::ctl {

enum class ServiceState { Running, Stopped, Absent };

class InstalledService {
public:
    virtual ~InstalledService() = default;
    // QueryServiceStatus through the service control manager: Absent when
    // the service is not installed (or cannot be asked about).
    virtual ServiceState State() = 0;
    // QueryServiceConfigW's lpBinaryPathName, as the installer wrote it
    // (quoted or not, with any arguments); nothing when it cannot be read.
    virtual std::optional<std::u16string> BinaryPathName() = 0;
};

// The slot bridge's registers, read through the library (ZQ_ReadPCI): the
// command line alone shows the link's state, so the tool does not import it.
class SlotRegisters {
public:
    virtual ~SlotRegisters() = default;
    // Nonzero when the register at `offset` of the slot bridge on `bus` was read.
    virtual int ReadPCI(std::uint32_t bus, std::uint32_t offset, std::uint32_t* value) = 0;
};

class FileReader {
public:
    virtual ~FileReader() = default;
    // The file's first `maxBytes` bytes; nothing when it cannot be opened or read.
    virtual std::optional<std::vector<std::uint8_t>> Read(const std::u16string& path, std::size_t maxBytes) = 0;
};

}  // namespace qn38::ctl
