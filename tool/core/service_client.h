// The tool's side of the exchange with the service: one request per
// connection, and one builder per command.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "service/ServiceRequest.h"
#include "lib/core/ports/text.h"
#include "tool/core/ports/service_transport.h"

namespace qn38::tool {

inline constexpr int SERVICE_CONNECT_ATTEMPTS = 10;
inline constexpr std::chrono::milliseconds SERVICE_CONNECT_PAUSE{100};
// The request goes into the pipe's buffer at once; a service that has not
// taken it within its own bound for a request (2 s) has stalled.
inline constexpr std::chrono::milliseconds SERVICE_REQUEST_WAIT{2000};
// The reply, which the service writes only after performing the request, is
// what ends an exchange; the wait on the shared event before it is bounded so
// that a signal taken by another client's reset, or never given by a service
// that died, cannot hold the tool. Kept short: while it runs the service is
// held too, and a second client has only about a second of attempts.
inline constexpr std::chrono::milliseconds SERVICE_EVENT_WAIT{100};
// The service writes the reply once the operation is done. The longest is a
// stop: every volume of the card tried for its lock (a refused lock is tried
// again while programs close their files), the link taken down, and the bus
// re-enumerated, where Plug and Play waits for every driver and program that
// holds one of the card's devices to let it go; a start's device cycle waits
// on the same. That takes seconds, rarely tens of seconds. A service that has
// not answered in a minute is hung: the request then counts as not sent, so
// the thread that asked (the window's or the poller) is free again.
inline constexpr std::chrono::milliseconds SERVICE_REPLY_WAIT{60000};

// Whether a link disable first makes sure no volume of the card is in use.
enum class DiskCheck : std::uint8_t { Skip = 0, Required = 1 };
// Whether a request that brings a link up is the user's own start, which
// alone brings back a slot the service holds stopped.
enum class StartKind : std::uint8_t { Sync = SET_STATUS_NO_DISK_CHECK, Explicit = SET_STATUS_EXPLICIT_START };

class ServiceClient {
public:
    ServiceClient(ServiceTransport& transport, RetryPause& pause, Text& text,
                  std::chrono::milliseconds eventWait = SERVICE_EVENT_WAIT,
                  std::chrono::milliseconds replyWait = SERVICE_REPLY_WAIT,
                  std::chrono::milliseconds requestWait = SERVICE_REQUEST_WAIT)
        : transport_(transport),
          pause_(pause),
          text_(text),
          eventWait_(eventWait),
          replyWait_(replyWait),
          requestWait_(requestWait) {}

    // Sends the record and reads the reply into it; returns its result field
    // as a signed number. The record is left as built, and its result
    // returned, when no whole reply came back (0 for every built request).
    std::int32_t SendServiceRequest(ServiceRequest& request);

    std::int32_t RequestAddFilter();
    std::int32_t RequestSetStatus(std::uint8_t bus, std::uint8_t stateChange, std::uint8_t linkEnable,
                                  std::uint8_t checkDisks);
    // The SetStatus requests the flows send, by what the service does for
    // them; each re-enumerates the slot's bus afterwards.
    // (bus, 0, 0, 0) or, with the card's volumes tested first, (bus, 0, 0, 1).
    // A refused disable's reply may name who holds the card (`veto`).
    std::int32_t DisableLink(std::uint8_t bus, DiskCheck check, std::optional<StopVeto>* veto = nullptr);
    // Those that bring the link up carry the start's kind in checkDisks;
    // each may come back SET_STATUS_HELD_STOPPED.
    std::int32_t EnableLink(std::uint8_t bus, StartKind kind = StartKind::Sync);      // (bus, 0, 1, 0)
    std::int32_t DisableDevices(std::uint8_t bus, StartKind kind = StartKind::Sync);  // (bus, 2, 1, 0): link kept up
    std::int32_t EnableDevices(std::uint8_t bus, StartKind kind = StartKind::Sync);   // (bus, 1, 1, 0)
    std::int32_t RequestSetSize(std::uint32_t size, std::uint32_t start, std::uint32_t end);
    // The text in the ANSI code page, up to its first terminator, cut to 200 bytes.
    std::int32_t RequestWriteLog(std::u16string_view text);

    // How many exchanges so far ended without a whole reply (the service not
    // listening, or not answering within the bound): a caller that compares
    // the count before and after its requests tells a refusal from a
    // service it never reached.
    std::uint64_t UnansweredExchanges() const { return unanswered_; }

private:
    // Whoever answers on the pipe's name gets the user's stops: while the
    // service is stopped or restarting any process could serve that name, so
    // only the process the service control manager runs as the service counts.
    // Before connecting: whether there is such a process to expect. No
    // connection is made without one, so an impostor on the name never even
    // learns who the user is.
    bool ExpectService();
    // After connecting: whether the connection's server is that process.
    bool ServedByTheService(ServicePipe& pipe);

    ServiceTransport& transport_;
    RetryPause& pause_;
    Text& text_;
    const std::chrono::milliseconds eventWait_;
    const std::chrono::milliseconds replyWait_;
    const std::chrono::milliseconds requestWait_;
    // The service's process as the service control manager named it, and,
    // once confirmed, held open so that its id cannot pass to another
    // process; guarded by `exchange_`.
    std::uint32_t expectedService_ = 0;
    std::unique_ptr<ProcessHold> heldService_;
    // The tool's own threads (the window's and the poller) share the one named
    // event: one exchange at a time keeps them from taking each other's signal.
    std::mutex exchange_;
    std::atomic<std::uint64_t> unanswered_{0};
};

// The log request's text field as the tool fills it.
void FillLogText(ServiceRequest& request, std::string_view ansi);

}  // namespace qn38::tool
