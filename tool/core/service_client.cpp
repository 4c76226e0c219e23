#include "service_client.h"

#include <algorithm>
#include <cstring>

namespace qn38::tool {

std::int32_t ServiceClient::SendServiceRequest(ServiceRequest& request) {
    std::lock_guard lock(exchange_);

    // The event is a hint only, since the reply on the pipe is what ends the
    // exchange: one that anybody has created first, with a list that shuts
    // this user out or as another kind of object, costs only the hint.
    const auto event = transport_.CreateOrOpenEvent();
    // A signal left over from an earlier exchange must not end this one's wait.
    if (event) event->Reset();

    std::unique_ptr<ServicePipe> pipe;
    for (int attempt = 0; attempt < SERVICE_CONNECT_ATTEMPTS && !pipe; ++attempt) {
        pipe = transport_.OpenPipe();
        if (!pipe) pause_.Pause(SERVICE_CONNECT_PAUSE);
    }
    if (!pipe || !pipe->Write(EncodeServiceRequest(request))) {
        ++unanswered_;
        return ServiceResult(request);
    }
    pipe->Flush();
    if (event) event->Wait(eventWait_);

    // Only a whole reply replaces the record: a service that died mid-way
    // leaves the request's own result, 0, in it.
    ServiceRequestBytes reply{};
    std::size_t received = 0;
    const auto deadline = std::chrono::steady_clock::now() + replyWait_;
    while (received < reply.size()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds::zero()) break;
        const std::size_t bytes = pipe->Read(std::span(reply).subspan(received), left);
        if (bytes == 0) break;
        received += std::min(bytes, reply.size() - received);
    }
    if (received == reply.size()) {
        request = DecodeServiceRequest(reply);
    } else {
        ++unanswered_;
    }
    pipe.reset();  // the pipe before the event
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

std::int32_t ServiceClient::DisableLink(std::uint8_t bus, DiskCheck check) {
    return RequestSetStatus(bus, 0, 0, static_cast<std::uint8_t>(check));
}

std::int32_t ServiceClient::EnableLink(std::uint8_t bus) { return RequestSetStatus(bus, 0, 1, 0); }

std::int32_t ServiceClient::DisableDevices(std::uint8_t bus) { return RequestSetStatus(bus, 2, 1, 0); }

std::int32_t ServiceClient::EnableDevices(std::uint8_t bus) { return RequestSetStatus(bus, 1, 1, 0); }

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
