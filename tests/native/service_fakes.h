// Stand-ins for the service's ports: operations that record their calls, and
// a client connection that plays a script (well-behaved or not).
#pragma once

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "service/ServiceRequest.h"
#include "service/core/ports/connection.h"
#include "service/core/ports/operations.h"

namespace qn38::service::testing {

class RecordingOperations : public ServiceOperations {
public:
    explicit RecordingOperations(std::vector<std::string>& steps) : steps_(steps) {}

    int AddFilter() override { return Call("AddFilter()"); }
    int SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                  std::uint32_t checkDisks) override {
        return Call("SetStatus(" + std::to_string(bus) + "," + std::to_string(stateChange) + "," +
                    std::to_string(linkEnable) + "," + std::to_string(checkDisks) + ")");
    }
    int SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) override {
        return Call("SetSize(" + std::to_string(defLen) + "," + std::to_string(startAdrs) + "," +
                    std::to_string(endAdrs) + ")");
    }
    int WriteLog(const char* title) override {
        titles.emplace_back(title);
        return Call("WriteLog");
    }
    std::uint32_t LastError() override { return lastError; }

    int result = 1;
    std::uint32_t lastError = 0x1234;
    std::vector<std::string> titles;

private:
    int Call(std::string step) {
        steps_.push_back(std::move(step));
        return result;
    }

    std::vector<std::string>& steps_;
};

// What the client on the other end does.
struct ClientScript {
    bool createdEvent = true;
    std::vector<std::uint8_t> sends;  // everything the client writes
    std::size_t chunk = SIZE_MAX;     // at most this many bytes arrive per read
    std::chrono::milliseconds perRead{0};
    bool closesAfterSending = false;  // otherwise it stays connected, silent
    bool readsReply = true;           // otherwise it stops reading
    bool goneBeforeReply = false;     // closes once its request is sent
    std::optional<std::uint32_t> session = 1;
    std::function<void()> onAllSent;  // on the reading thread, as the last byte is read
};

class ScriptedConnection final : public ServiceConnection {
public:
    ScriptedConnection(ClientScript script, std::vector<std::string>& steps)
        : script_(std::move(script)), steps_(steps) {}

    bool OpenClientEvent() override {
        steps_.push_back(script_.createdEvent ? "open-event" : "open-event-failed");
        eventOpen = script_.createdEvent;
        return script_.createdEvent;
    }
    void SignalClientEvent() override {
        steps_.push_back("signal");
        if (eventOpen) ++signals;
    }
    void CloseClientEvent() override {
        steps_.push_back("close-event");
        eventOpen = false;
    }

    IoResult Read(std::span<std::uint8_t> into, std::chrono::milliseconds bound) override {
        ++reads;
        readBounds.push_back(bound);
        if (script_.perRead.count() > 0) std::this_thread::sleep_for(script_.perRead);
        if (sent_ < script_.sends.size()) {
            const std::size_t count = std::min({script_.chunk, script_.sends.size() - sent_, into.size()});
            std::memcpy(into.data(), script_.sends.data() + sent_, count);
            sent_ += count;
            if (steps_.empty() || steps_.back() != "read") steps_.push_back("read");
            if (sent_ == script_.sends.size() && script_.onAllSent) script_.onAllSent();
            return {IoStatus::Done, count};
        }
        return {script_.closesAfterSending ? IoStatus::Closed : IoStatus::TimedOut, 0};
    }

    IoResult Write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds) override {
        steps_.push_back("write");
        if (script_.closesAfterSending || script_.goneBeforeReply) return {IoStatus::Closed, 0};
        written.insert(written.end(), bytes.begin(), bytes.end());
        return {IoStatus::Done, bytes.size()};
    }

    IoStatus Flush(std::chrono::milliseconds bound, std::chrono::milliseconds) override {
        steps_.push_back("flush");
        flushBound = bound;
        return script_.readsReply ? IoStatus::Done : IoStatus::TimedOut;
    }

    void Disconnect() override {
        steps_.push_back("disconnect");
        ++disconnects;
    }

    std::optional<std::uint32_t> ClientSession() override { return script_.session; }

    std::vector<std::uint8_t> written;
    std::vector<std::chrono::milliseconds> readBounds;
    std::chrono::milliseconds flushBound{0};
    int reads = 0;
    int signals = 0;
    int disconnects = 0;
    bool eventOpen = false;

private:
    ClientScript script_;
    std::size_t sent_ = 0;
    std::vector<std::string>& steps_;
};

inline ServiceRequest SetStatusRequest(std::uint8_t bus, std::uint8_t stateChange, std::uint8_t linkEnable) {
    ServiceRequest request;
    request.command = CMD_SET_STATUS;
    request.bus = bus;
    request.stateChange = stateChange;
    request.linkEnable = linkEnable;
    return request;
}

inline std::vector<std::uint8_t> Wire(const ServiceRequest& request) {
    const ServiceRequestBytes bytes = EncodeServiceRequest(request);
    return {bytes.begin(), bytes.end()};
}

}  // namespace qn38::service::testing
