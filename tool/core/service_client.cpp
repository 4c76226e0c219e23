#include "tool/core/service_client.h"

#include <algorithm>
#include <cstring>

namespace qn38::tool {

bool ServiceClient::ExpectService() {
    // A steady request costs no question to the service control manager: the
    // held service is still running, and while it is held no other process
    // can carry its id.
    if (heldService_ && !heldService_->Ended()) return true;
    heldService_.reset();
    expectedService_ = transport_.ServiceProcessId();
    return expectedService_ != 0;
}

bool ServiceClient::ServedByTheService(ServicePipe& pipe) {
    const std::uint32_t server = pipe.ServerProcessId();
    if (server == 0 || server != expectedService_) {
        heldService_.reset();
        return false;
    }
    if (heldService_) return true;
    // The service may have ended, and its id passed to another process,
    // since the service control manager named it: asked again once the id is
    // held (or, for a user who may not open the service's process, on every
    // connection), its answer is about the process this pipe leads to.
    std::unique_ptr<ProcessHold> hold = transport_.HoldProcess(server);
    if (transport_.ServiceProcessId() != server) return false;
    heldService_ = std::move(hold);
    return true;
}

std::int32_t ServiceClient::SendServiceRequest(ServiceRequest& request) {
    std::lock_guard lock(exchange_);

    // The event is a hint only, since the reply on the pipe is what ends the
    // exchange: one that anybody has created first, with a list that shuts
    // this user out or as another kind of object, costs only the hint.
    const auto event = transport_.CreateOrOpenEvent();
    // A signal left over from an earlier exchange must not end this one's wait.
    if (event) event->Reset();

    // Every wait on the service is bounded: one that stalls before it reads
    // (suspended, in a debugger, starved) costs the request its bound and
    // counts as unreachable, like one that never answers. The reply's read
    // covers what a flush would wait for, so there is none.
    const ServiceRequestBytes sent = EncodeServiceRequest(request);
    for (int attempt = 0; attempt < SERVICE_CONNECT_ATTEMPTS; ++attempt) {
        std::unique_ptr<ServicePipe> pipe;
        if (ExpectService()) pipe = transport_.OpenPipe();
        if (pipe && !ServedByTheService(*pipe)) pipe.reset();
        if (!pipe) {
            pause_.Pause(SERVICE_CONNECT_PAUSE);
            continue;
        }
        const RecordTransfer written = TransferRecord(
            std::span(sent), requestWait_, [&](std::span<const std::uint8_t> rest, std::chrono::milliseconds left) {
                return pipe->Write(rest, left);
            });
        if (!written.Whole()) {
            // A connection that was closed before it took a byte carried
            // nothing to the service, so another attempt cannot repeat the
            // request.
            if (written.bytes == 0 && written.status == IoStatus::Closed) {
                pause_.Pause(SERVICE_CONNECT_PAUSE);
                continue;
            }
            break;
        }
        if (event) event->Wait(eventWait_);

        // Only a whole reply replaces the record: a service that died mid-way
        // leaves the request's own result, 0, in it.
        ServiceRequestBytes reply{};
        const RecordTransfer read = TransferRecord(
            std::span(reply), replyWait_,
            [&](std::span<std::uint8_t> rest, std::chrono::milliseconds left) { return pipe->Read(rest, left); });
        pipe.reset();  // the pipe before the event
        if (!read.Whole()) break;
        const ServiceRequest answer = DecodeServiceRequest(reply);
        if (IsBusyReply(answer)) {
            // Turned away unperformed while this session holds its share of
            // the service's instances: an attempt like one that found no
            // instance listening. The signal the refusal gave is not this
            // request's.
            if (event) event->Reset();
            pause_.Pause(SERVICE_CONNECT_PAUSE);
            continue;
        }
        request = answer;
        return ServiceResult(request);
    }
    ++unanswered_;
    return ServiceResult(request);
}

std::int32_t ServiceClient::RequestAddFilter() {
    ServiceRequest request;
    request.command = CMD_ADD_FILTER;
    return SendServiceRequest(request);
}

std::int32_t ServiceClient::RequestSetStatus(std::uint8_t bus, std::uint8_t stateChange, std::uint8_t linkEnable,
                                             std::uint8_t checkDisks) {
    ServiceRequest request;
    request.command = CMD_SET_STATUS;
    request.bus = bus;
    request.stateChange = stateChange;
    request.linkEnable = linkEnable;
    request.checkDisks = checkDisks;
    return SendServiceRequest(request);
}

std::int32_t ServiceClient::DisableLink(std::uint8_t bus, DiskCheck check, std::optional<StopVeto>* veto) {
    ServiceRequest request;
    request.command = CMD_SET_STATUS;
    request.bus = bus;
    request.stateChange = SET_STATUS_REENUMERATE;
    request.linkEnable = SET_STATUS_LINK_DOWN;
    request.checkDisks = static_cast<std::uint8_t>(check);
    const std::int32_t result = SendServiceRequest(request);
    // A request left as built has an empty text: no veto.
    if (veto != nullptr) *veto = result == 0 ? GetStopVeto(request) : std::nullopt;
    return result;
}

std::int32_t ServiceClient::EnableLink(std::uint8_t bus, StartKind kind) {
    return RequestSetStatus(bus, SET_STATUS_REENUMERATE, SET_STATUS_LINK_UP, static_cast<std::uint8_t>(kind));
}

std::int32_t ServiceClient::DisableDevices(std::uint8_t bus, StartKind kind) {
    return RequestSetStatus(bus, SET_STATUS_DISABLE_DEVICES, SET_STATUS_LINK_UP, static_cast<std::uint8_t>(kind));
}

std::int32_t ServiceClient::EnableDevices(std::uint8_t bus, StartKind kind) {
    return RequestSetStatus(bus, SET_STATUS_ENABLE_DEVICES, SET_STATUS_LINK_UP, static_cast<std::uint8_t>(kind));
}

std::int32_t ServiceClient::RequestSetSize(std::uint32_t size, std::uint32_t start, std::uint32_t end) {
    ServiceRequest request;
    request.command = CMD_SET_SIZE;
    request.defLen = size;
    request.startAdrs = start;
    request.endAdrs = end;
    return SendServiceRequest(request);
}

std::int32_t ServiceClient::RequestWriteLog(std::u16string_view text) {
    // The title ends at its first terminator, as a C string would.
    const std::u16string_view title = text.substr(0, std::min(text.find(u'\0'), text.size()));
    ServiceRequest request;
    request.command = CMD_WRITE_LOG;
    FillLogText(request, text_.ToAnsi(title));
    return SendServiceRequest(request);
}

void FillLogText(ServiceRequest& request, std::string_view ansi) {
    // The converted text may itself hold a zero byte; what follows it is not part of the title.
    ansi = ansi.substr(0, std::min(ansi.find('\0'), ansi.size()));
    std::memset(request.text, 0, sizeof request.text);
    std::memcpy(request.text, ansi.data(), std::min(ansi.size(), sizeof request.text));
}

}  // namespace qn38::tool
