#include "lib/core/diagnostic_log.h"

#include <algorithm>
#include <cstring>

#include "lib/core/constants.h"
#include "lib/core/device_lookup.h"
#include "lib/core/log_layout.h"
#include "lib/core/match.h"
#include "lib/core/memory_window.h"
#include "lib/core/pci_config.h"

namespace qn38 {
namespace {

// Device properties are read for the report into 520-byte buffers.
constexpr std::size_t kPropertyBufferBytes = 520;

LogHeader NewHeader(Platform& platform) {
    LogHeader header{};
    std::memcpy(header.marker, LOG_MARKER, sizeof header.marker);
    const LocalTime now = platform.clock.Now();
    const std::u16string created = platform.text.Format(
        u"%04d/%02d/%02d %02d:%02d:%02d", {now.year, now.month, now.day, now.hour, now.minute, now.second});
    // A five-digit year must not run into nextSlot: the field keeps its zero byte.
    const std::size_t length = std::min(created.size(), sizeof header.created - 1);
    for (std::size_t i = 0; i < length; ++i) header.created[i] = static_cast<char>(created[i]);
    header.nextSlot = LOG_FIRST_ENTRY_SLOT;
    return header;
}

// The first string of a property as its 520-byte buffer holds it.
std::u16string FirstString(const PropertyValue& value) {
    std::u16string text;
    if (!value.ok()) return text;
    const std::size_t bytes = std::min(value.data.size(), kPropertyBufferBytes);
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        const auto unit = static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8);
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

// A 32-bit property as a zero-filled 4-byte buffer holds it: 0 when absent.
std::uint32_t NumberOf(const PropertyValue& value) {
    std::uint32_t number = 0;
    if (!value.ok()) return number;
    for (std::size_t i = 0; i < std::min<std::size_t>(value.data.size(), 4); ++i) {
        number |= static_cast<std::uint32_t>(value.data[i]) << (8 * i);
    }
    return number;
}

// Status and problem of a devnode; both print as 0 when the query fails.
DevNodeStatus StatusOf(DeviceTree& tree, DevNode node) { return tree.Status(node).value_or(DevNodeStatus{}); }

// A configuration register for the report. A failed read prints as 0, which
// no function answers at offset 0: it tells a missing dump driver apart from
// an empty bus, which reads as all ones.
std::uint32_t RegisterOf(DeviceIo& io, std::uint32_t bus, std::uint8_t offset) {
    std::uint32_t value = 0;
    if (ReadPci(io, bus, offset, &value) == 0) value = 0;
    return value;
}

class Report {
public:
    explicit Report(Platform& platform) : platform_(platform) {}

    void Write(std::u16string text) {
        if (text.size() > LOG_ENTRY_UNITS - 1) text.resize(LOG_ENTRY_UNITS - 1);
        if (WriteLogFile(platform_, text.c_str()) == 0) complete_ = false;
    }

    void Title(const char* title) {
        // The title is at most one slot long: whatever lies further could not
        // be shown, and a title that fills its 200 bytes carries no terminator.
        std::string bounded;
        if (title != nullptr) {
            std::size_t length = 0;
            while (length < LOG_SLOT_SIZE && title[length] != '\0') ++length;
            bounded.assign(title, length);
        }
        const LocalTime now = platform_.clock.Now();
        Write(platform_.text.Format(u"\r\n\r\n%hs\r\n%04d/%02d/%02d %02d:%02d:%02d",
                                    {title != nullptr ? bounded.c_str() : nullptr, now.year, now.month, now.day,
                                     now.hour, now.minute, now.second}));
    }

    void Registry() {
        auto key = platform_.registry.Open(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), KEY_ACCESS_READ);
        if (!key) return;
        const auto defLen = ReadSettingNumber(*key, u"DefLen");
        if (!defLen) return;
        std::u16string text = platform_.text.Format(u"\r\nRegistry\r\n%s:%#08x", {u"DefLen", *defLen});
        std::vector<std::u16string> names = {u"StartAdrs", u"EndAdrs"};
        for (int n = 1; n <= 2; ++n) {
            names.push_back(platform_.text.Format(u"Memory%d", {n}));
            names.push_back(platform_.text.Format(u"Memory%dLen", {n}));
        }
        for (const auto& name : names) {
            const auto value = ReadSettingNumber(*key, name);
            if (value) text += platform_.text.Format(u"\r\n%s:%#08x", {name.c_str(), *value});
        }
        Write(std::move(text));
    }

    void Filters() {
        ScanDevices(
            platform_.devices, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
                if (!MatchesText(set.ReadProperty(index, SPDRP_UPPER_FILTERS), U16(FILTER_NAME))) return true;
                const std::u16string hardwareId = FirstString(set.ReadProperty(index, SPDRP_HARDWARE_IDS));
                const DevNodeStatus status = StatusOf(platform_.devices, node);
                Write(platform_.text.Format(u"\r\n%s\r\nHardwareID:%s\r\nstatus:%#08x\r\nproblem:%#08x",
                                            {U16(FILTER_NAME), hardwareId.c_str(), status.status, status.problem}));
                return true;
            });
    }

    void Slots() {
        ScanDevices(
            platform_.devices, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
                if (!HasHardwareId(set, index, U16(HWID_SLOT_BRIDGE))) return true;
                const std::uint32_t bus = NumberOf(set.ReadProperty(index, SPDRP_BUS_NUMBER));
                // Read in this order, each with its own open, as the dump driver has always seen them.
                const std::uint32_t id = RegisterOf(platform_.io, bus, CONFIG_ID);
                const std::uint32_t subsystem = RegisterOf(platform_.io, bus, CONFIG_SUBSYSTEM);
                const std::uint32_t slot = RegisterOf(platform_.io, bus, CONFIG_SLOT);
                const std::uint32_t link = RegisterOf(platform_.io, bus, CONFIG_LINK);
                const std::uint32_t memory = RegisterOf(platform_.io, bus, CONFIG_MEMORY_BASE);
                const DevNodeStatus status = StatusOf(platform_.devices, node);
                Write(
                    platform_.text.Format(u"\r\nBus:%#02X\r\nHardwareID:%#08x\r\nSUBSYSID:%#08x\r\nMemoryBase:%#08x"
                                          u"\r\nSlotStatus:%#08x\r\nLinkStatus:%#08x\r\nstatus:%#08x\r\nproblem:%#08x",
                                          {bus, id, subsystem, memory, slot, link, status.status, status.problem}));
                const auto card = platform_.devices.FirstChild(node);
                if (card) Card(*card);
                return true;
            });
    }

    bool complete() const { return complete_; }

private:
    void Card(DevNode card) {
        const std::uint32_t bus = NumberOf(platform_.devices.ReadDevNodeProperty(card, CM_DRP_BUS_NUMBER));
        const std::uint32_t id = RegisterOf(platform_.io, bus, CONFIG_ID);
        const DevNodeStatus status = StatusOf(platform_.devices, card);
        const std::u16string description =
            FirstString(platform_.devices.ReadDevNodeProperty(card, CM_DRP_DEVICE_DESCRIPTION));
        Write(platform_.text.Format(
            u"\r\nExpressCard\r\nBus:%#02X\r\nHardwareID:%#08x\r\nstatus:%#08x\r\nproblem:%#08x\r\nDeviceDesc:%s",
            {bus, id, status.status, status.problem, description.c_str()}));
    }

    Platform& platform_;
    bool complete_ = true;
};

}  // namespace

std::u16string LogPathBeside(std::u16string_view executablePath) {
    const auto separator = executablePath.find_last_of(u"\\/:");
    if (separator == std::u16string_view::npos) return {};
    std::u16string path(executablePath.substr(0, separator + 1));
    path += U16(LOG_FILE_NAME);
    return path;
}

int WriteLogFile(Platform& platform, const char16_t* text) {
    // Without a directory the log would land wherever the process happens to
    // run; no log is better than one nobody finds.
    const std::u16string path = LogPathBeside(platform.files.ExecutablePath());
    if (path.empty()) return 0;
    auto file = platform.files.OpenAlways(path);
    if (!file) return 0;

    LogSlot slot{};
    if (!file->ReadAt(0, slot.data(), LOG_SLOT_SIZE)) return 0;
    LogHeader header = DecodeLogHeader(slot);
    if (!IsUsableLogHeader(header)) {
        // A new, foreign or damaged file: the ring starts again at slot 1 and
        // overwrites whatever lies behind as it advances.
        header = NewHeader(platform);
        if (!file->WriteAt(0, EncodeLogHeader(header).data(), LOG_SLOT_SIZE)) return 0;
    }
    if (text == nullptr) return 1;

    LogSlot entry{};
    const std::string ansi = platform.text.ToAnsi(std::u16string_view(text));
    std::memcpy(entry.data(), ansi.data(), std::min<std::size_t>(ansi.size(), LOG_SLOT_SIZE));
    if (!file->WriteAt(std::uint64_t{header.nextSlot} * LOG_SLOT_SIZE, entry.data(), LOG_SLOT_SIZE)) return 0;

    header.nextSlot = header.nextSlot + 1 >= LOG_SLOT_COUNT ? LOG_FIRST_ENTRY_SLOT : header.nextSlot + 1;
    return file->WriteAt(0, EncodeLogHeader(header).data(), LOG_SLOT_SIZE) ? 1 : 0;
}

int WriteLog(Platform& platform, const char* title) {
    Report report(platform);
    report.Title(title);
    report.Registry();
    report.Filters();
    report.Slots();
    return report.complete() ? 1 : 0;
}

}  // namespace qn38
