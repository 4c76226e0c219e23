// The one record the tray tool and the service exchange over the pipe: 228
// bytes, little-endian, the same layout for the 64-bit tool and the 32-bit
// service. Every request and every reply is one whole record.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#if defined(_WIN32)
using SERVICE_CHAR = wchar_t;
#define QN38_SERVICE_TEXT(s) L##s
#else
using SERVICE_CHAR = char16_t;
#define QN38_SERVICE_TEXT(s) u##s
#endif

inline constexpr const SERVICE_CHAR* SERVICE_NAME = QN38_SERVICE_TEXT("QN38HotPlugService");
inline constexpr const SERVICE_CHAR* SERVICE_PIPE_NAME = QN38_SERVICE_TEXT("\\\\.\\pipe\\QN38HotPlugService");
// In the global namespace, so the tool in a user's session and the service
// in session 0 reach the same object.
inline constexpr const SERVICE_CHAR* SERVICE_EVENT_NAME = QN38_SERVICE_TEXT("Global\\QN38HotPlugService");

inline constexpr std::uint32_t CMD_ADD_FILTER = 1;
inline constexpr std::uint32_t CMD_SET_STATUS = 2;
inline constexpr std::uint32_t CMD_SET_SIZE = 3;
inline constexpr std::uint32_t CMD_WRITE_LOG = 4;

// The fields of a CMD_SET_STATUS request.
// stateChange: 0 re-enumerates the slot's bus (once the card answers, where
// the request brings the link up). The codes 2 and 1 keep the values of
// DICS_DISABLE and DICS_ENABLE, which the device cycle of a start sends in
// that order, but no longer disable anything:
// - 2 restarts the slot bridge's stack through the class installer
//   (DICS_PROPCHANGE), which scans the card's bus again; it writes nothing
//   to the hardware profile, and fails when the installer refuses it or puts
//   it off to the next boot;
// - 1 enables the slot bridge only where the hardware profile still has it
//   disabled (problem 22, as an older release could leave it), then
//   re-enumerates it.
inline constexpr std::uint8_t SET_STATUS_REENUMERATE = 0;
inline constexpr std::uint8_t SET_STATUS_ENABLE_DEVICES = 1;
inline constexpr std::uint8_t SET_STATUS_DISABLE_DEVICES = 2;
// linkEnable: 0 sets Link Disable (the link goes down), 1 clears it. The
// library reads only the low 8 bits of the field.
inline constexpr std::uint8_t SET_STATUS_LINK_DOWN = 0;
inline constexpr std::uint8_t SET_STATUS_LINK_UP = 1;
// checkDisks: nonzero refuses the change while a volume of the card is in use.
inline constexpr std::uint8_t SET_STATUS_NO_DISK_CHECK = 0;
inline constexpr std::uint8_t SET_STATUS_DISK_CHECK = 1;
// checkDisks of a request that brings the link up, which no tool sends
// nonzero otherwise: the user asked for this start (the tray's start item,
// qn38ctl start). Only such a start clears a slot's stop mark; the service
// performs it without a disk check. A service that knows no marks locks no
// volume of a stopped card, which has none.
inline constexpr std::uint8_t SET_STATUS_EXPLICIT_START = 2;

// The result of a CMD_SET_STATUS request that would have brought up the link
// of a slot marked stopped: the service took the link down instead (and
// re-enumerated the bus), and it stays down until the card leaves the slot
// or an explicit start comes. The mark is set by a stop that succeeded:
// (bus, SET_STATUS_REENUMERATE, SET_STATUS_LINK_DOWN, SET_STATUS_DISK_CHECK).
// 0 stays a failure, 1 a success; a tool that knows no marks reads this as
// a success whose card did not come up.
inline constexpr std::int32_t SET_STATUS_HELD_STOPPED = 2;

// The reply to a request the service turned away unperformed, because the
// client's logon session holds its share of the pipe's instances already:
// `result` 0 and this `lastError`, every other byte as the request arrived
// (zero where it had not arrived). The client may send the request again.
// It is ERROR_BUSY (170) with bit 29 set, the bit Windows leaves to
// applications for codes of their own: a performed request's `lastError` is
// whatever the thread's last error was after the library's calls, and plain
// ERROR_BUSY could be one of those, which a client would then take for a
// refusal and perform a second time.
inline constexpr std::uint32_t SERVICE_BUSY_ERROR = 0x20000000u | 170u;

inline constexpr std::size_t SERVICE_REQUEST_SIZE = 228;
inline constexpr std::size_t SERVICE_TEXT_CAPACITY = 200;

struct ServiceRequest {
    std::uint32_t command = 0;
    std::uint32_t result = 0;     // the export's int as its two's-complement bits
    std::uint32_t lastError = 0;  // the service thread's last-error code after the call
    std::uint8_t bus = 0;
    std::uint8_t stateChange = 0;
    std::uint8_t linkEnable = 0;
    std::uint8_t checkDisks = 0;
    std::uint32_t defLen = 0;
    std::uint32_t startAdrs = 0;
    std::uint32_t endAdrs = 0;
    // ANSI, zero-filled behind the text; a text of 200 bytes has no terminator.
    char text[SERVICE_TEXT_CAPACITY] = {};
};

static_assert(std::is_standard_layout_v<ServiceRequest> && std::is_trivially_copyable_v<ServiceRequest>);
static_assert(sizeof(ServiceRequest) == SERVICE_REQUEST_SIZE);
static_assert(offsetof(ServiceRequest, command) == 0);
static_assert(offsetof(ServiceRequest, result) == 4);
static_assert(offsetof(ServiceRequest, lastError) == 8);
static_assert(offsetof(ServiceRequest, bus) == 12);
static_assert(offsetof(ServiceRequest, stateChange) == 13);
static_assert(offsetof(ServiceRequest, linkEnable) == 14);
static_assert(offsetof(ServiceRequest, checkDisks) == 15);
static_assert(offsetof(ServiceRequest, defLen) == 16);
static_assert(offsetof(ServiceRequest, startAdrs) == 20);
static_assert(offsetof(ServiceRequest, endAdrs) == 24);
static_assert(offsetof(ServiceRequest, text) == 28);

using ServiceRequestBytes = std::array<std::uint8_t, SERVICE_REQUEST_SIZE>;

namespace qn38::service_record {

inline void PutU32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t GetU32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

}  // namespace qn38::service_record

// The record as it travels, field by field, so the bytes on the pipe do not
// depend on the byte order or the padding rules of either program.
inline ServiceRequestBytes EncodeServiceRequest(const ServiceRequest& request) {
    using qn38::service_record::PutU32;
    ServiceRequestBytes bytes{};
    PutU32(&bytes[0], request.command);
    PutU32(&bytes[4], request.result);
    PutU32(&bytes[8], request.lastError);
    bytes[12] = request.bus;
    bytes[13] = request.stateChange;
    bytes[14] = request.linkEnable;
    bytes[15] = request.checkDisks;
    PutU32(&bytes[16], request.defLen);
    PutU32(&bytes[20], request.startAdrs);
    PutU32(&bytes[24], request.endAdrs);
    for (std::size_t i = 0; i < SERVICE_TEXT_CAPACITY; ++i) bytes[28 + i] = static_cast<std::uint8_t>(request.text[i]);
    return bytes;
}

inline ServiceRequest DecodeServiceRequest(std::span<const std::uint8_t, SERVICE_REQUEST_SIZE> bytes) {
    using qn38::service_record::GetU32;
    ServiceRequest request;
    request.command = GetU32(&bytes[0]);
    request.result = GetU32(&bytes[4]);
    request.lastError = GetU32(&bytes[8]);
    request.bus = bytes[12];
    request.stateChange = bytes[13];
    request.linkEnable = bytes[14];
    request.checkDisks = bytes[15];
    request.defLen = GetU32(&bytes[16]);
    request.startAdrs = GetU32(&bytes[20]);
    request.endAdrs = GetU32(&bytes[24]);
    for (std::size_t i = 0; i < SERVICE_TEXT_CAPACITY; ++i) request.text[i] = static_cast<char>(bytes[28 + i]);
    return request;
}

// A refused stop's reply names who holds the card, where Windows named
// someone, in the text field, which the reply leaves unused otherwise:
// "<PNP_VETO_TYPE in decimal>\t<holder>\t<veto name>" in UTF-8, zero-filled
// behind, cut at 200 bytes, which shortens the veto name (an instance path
// is long) before the holder.
// The holder is what the user is shown: an application's module name, a
// service's or driver's name, or the description of the device the veto
// name's instance path names. A tool that does not read it sees the record
// as before; every other reply leaves the field as the request had it.
struct StopVeto {
    std::uint32_t type = 0;
    std::u16string holder;
    std::u16string name;
};

namespace qn38::service_record {

inline void AppendUtf8(std::string& out, std::u16string_view text) {
    for (std::size_t at = 0; at < text.size(); ++at) {
        std::uint32_t unit = text[at];
        if (unit >= 0xD800 && unit < 0xDC00 && at + 1 < text.size() && text[at + 1] >= 0xDC00 &&
            text[at + 1] < 0xE000) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++at] - 0xDC00);
        } else if (unit >= 0xD800 && unit < 0xE000) {
            unit = 0xFFFD;
        }
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
        } else if (unit < 0x800) {
            out.push_back(static_cast<char>(0xC0 | unit >> 6));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else if (unit < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | unit >> 12));
            out.push_back(static_cast<char>(0x80 | (unit >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | unit >> 18));
            out.push_back(static_cast<char>(0x80 | (unit >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
}

// Malformed or cut sequences become U+FFFD.
inline std::u16string FromUtf8(std::string_view text) {
    std::u16string out;
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<std::uint8_t>(text[at]);
        const int extra = lead < 0x80             ? 0
                          : (lead & 0xE0) == 0xC0 ? 1
                          : (lead & 0xF0) == 0xE0 ? 2
                          : (lead & 0xF8) == 0xF0 ? 3
                                                  : -1;
        std::uint32_t unit = extra == 0 ? lead : extra == 1 ? lead & 0x1F : extra == 2 ? lead & 0x0F : lead & 0x07;
        bool valid = extra >= 0 && at + static_cast<std::size_t>(extra) < text.size();
        for (int next = 1; valid && next <= extra; ++next) {
            const auto trail = static_cast<std::uint8_t>(text[at + next]);
            valid = (trail & 0xC0) == 0x80;
            unit = unit << 6 | (trail & 0x3F);
        }
        if (!valid || unit > 0x10FFFF || (unit >= 0xD800 && unit < 0xE000)) {
            out.push_back(u'\uFFFD');
            ++at;
            continue;
        }
        at += static_cast<std::size_t>(extra) + 1;
        if (unit >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((unit - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((unit - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(unit));
        }
    }
    return out;
}

}  // namespace qn38::service_record

inline void PutStopVeto(ServiceRequest& reply, const StopVeto& veto) {
    std::string text = std::to_string(veto.type);
    text.push_back('\t');
    qn38::service_record::AppendUtf8(text, veto.holder);
    text.push_back('\t');
    qn38::service_record::AppendUtf8(text, veto.name);
    std::memset(reply.text, 0, SERVICE_TEXT_CAPACITY);
    std::memcpy(reply.text, text.data(), std::min(text.size(), SERVICE_TEXT_CAPACITY));
}

// Nothing when the text holds no veto.
inline std::optional<StopVeto> GetStopVeto(const ServiceRequest& reply) {
    std::string_view text(reply.text, SERVICE_TEXT_CAPACITY);
    text = text.substr(0, std::min(text.find('\0'), text.size()));
    const std::size_t first = text.find('\t');
    if (first == 0 || first == std::string_view::npos) return std::nullopt;
    StopVeto veto;
    for (const char digit : text.substr(0, first)) {
        if (digit < '0' || digit > '9' || veto.type > 0xFFFFFFFFu / 10 - 1) return std::nullopt;
        veto.type = veto.type * 10 + static_cast<std::uint32_t>(digit - '0');
    }
    text.remove_prefix(first + 1);
    const std::size_t second = text.find('\t');
    veto.holder = qn38::service_record::FromUtf8(text.substr(0, second));
    if (second != std::string_view::npos) veto.name = qn38::service_record::FromUtf8(text.substr(second + 1));
    return veto;
}

// The result field as the export returned it.
inline std::int32_t ServiceResult(const ServiceRequest& request) { return static_cast<std::int32_t>(request.result); }

// Whether a reply says the request was turned away unperformed.
inline bool IsBusyReply(const ServiceRequest& reply) {
    return reply.result == 0 && reply.lastError == SERVICE_BUSY_ERROR;
}
