// One exchange of the service with a client that sends anything at all, in
// pieces of any size, with or without the event, leaving or staying. The
// service must perform only a whole record, answer it as it arrived but for
// result and last error, pass a log title of at most 200 bytes, and never
// write anything but one whole record.
//
// Input: byte 0 the piece size (0: everything at once), byte 1 the client's
// ways (bit 0 created the event, bit 1 leaves after sending, bit 2 reads the
// reply), then what the client sends.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "service/core/exchange.h"

namespace {

using namespace qn38::service;

void Require(bool condition) {
    if (!condition) std::abort();
}

class Operations final : public ServiceOperations {
public:
    int AddFilter() override { return Call(); }
    int SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                  std::uint32_t checkDisks) override {
        Require(bus <= 0xFF && stateChange <= 0xFF && linkEnable <= 0xFF && checkDisks <= 0xFF);
        return Call();
    }
    int SetSize(std::uint32_t, std::uint32_t, std::uint32_t) override { return Call(); }
    int WriteLog(const char* title) override {
        Require(std::strlen(title) <= SERVICE_TEXT_CAPACITY);
        return Call();
    }
    std::uint32_t LastError() override { return 0xE0E0E0E0; }

    int calls = 0;

private:
    int Call() {
        ++calls;
        return -7;
    }
};

class Client final : public ServiceConnection {
public:
    Client(const std::uint8_t* data, std::size_t size, std::size_t piece, unsigned ways)
        : data_(data), size_(size), piece_(piece == 0 ? size + 1 : piece), ways_(ways) {}

    bool OpenClientEvent() override { return (ways_ & 1) != 0; }
    void SignalClientEvent() override { ++signals; }
    void CloseClientEvent() override {}
    IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds) override {
        if (sent_ == size_) return {(ways_ & 2) != 0 ? IoStatus::Closed : IoStatus::TimedOut, 0};
        const std::size_t count = std::min({piece_, size_ - sent_, into.size()});
        std::memcpy(into.data(), data_ + sent_, count);
        sent_ += count;
        return {IoStatus::Done, count};
    }
    IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds) override {
        if ((ways_ & 2) != 0) return {IoStatus::Closed, 0};
        written.insert(written.end(), bytes.begin(), bytes.end());
        return {IoStatus::Done, bytes.size()};
    }
    IoStatus Flush(std::chrono::milliseconds, std::chrono::milliseconds) override {
        return (ways_ & 4) != 0 ? IoStatus::Done : IoStatus::TimedOut;
    }
    void Disconnect() override { ++disconnects; }

    std::vector<std::uint8_t> written;
    int signals = 0;
    int disconnects = 0;

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t piece_;
    unsigned ways_;
    std::size_t sent_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t piece = data[0];
    const unsigned ways = data[1];
    const std::uint8_t* sends = data + 2;
    const std::size_t sent = size - 2;

    Operations operations;
    Client client(sends, sent, piece, ways);
    const ExchangeReport report = ServeExchange(client, operations);

    Require(client.disconnects == 1);
    const bool hasEvent = (ways & 1) != 0;
    const bool whole = sent >= SERVICE_REQUEST_SIZE;
    Require(report.performed == whole);
    Require(report.requestBytes <= SERVICE_REQUEST_SIZE);
    Require(client.signals == 0 || hasEvent);
    Require(client.written.empty() || client.written.size() == SERVICE_REQUEST_SIZE);
    if (!whole) {
        Require(operations.calls == 0);
        return 0;
    }

    std::uint32_t command = 0;
    for (int i = 0; i < 4; ++i) command |= static_cast<std::uint32_t>(sends[i]) << (8 * i);
    const bool known = command >= CMD_ADD_FILTER && command <= CMD_WRITE_LOG;
    Require(operations.calls == (known ? 1 : 0));
    Require(client.signals == (hasEvent ? 1 : 0));
    if (client.written.empty()) return 0;
    // Every byte but result and last error as it arrived.
    for (std::size_t i = 0; i < SERVICE_REQUEST_SIZE; ++i) {
        if (i >= 8 && i < 12) continue;
        if (i >= 4 && i < 8 && known) continue;
        Require(client.written[i] == sends[i]);
    }
    if (known) Require(client.written[4] == 0xF9 && client.written[7] == 0xFF);  // -7
    Require(client.written[8] == 0xE0 && client.written[11] == 0xE0);
    return 0;
}
