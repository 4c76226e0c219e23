#include "service/core/dispatcher.h"

#include <cstring>

#include "lib/core/memory_window.h"

namespace qn38::service {

void Dispatch(ServiceRequest& request, ServiceOperations& operations) {
    switch (request.command) {
    case CMD_ADD_FILTER:
        request.result = static_cast<std::uint32_t>(operations.AddFilter());
        break;
    case CMD_SET_STATUS:
        request.result = static_cast<std::uint32_t>(
            operations.SetStatus(request.bus, request.stateChange, request.linkEnable, request.checkDisks));
        if (request.result == 0) {
            if (const auto veto = operations.LastVeto()) PutStopVeto(request, *veto);
        }
        break;
    case CMD_SET_SIZE:
        // Any local user can send this record; a window the settings dialog
        // would refuse never reaches the driver key.
        request.result =
            IsValidMemoryWindow(request.defLen, request.startAdrs, request.endAdrs)
                ? static_cast<std::uint32_t>(operations.SetSize(request.defLen, request.startAdrs, request.endAdrs))
                : 0;
        break;
    case CMD_WRITE_LOG: {
        // A title of 200 bytes fills the field with no terminator of its own;
        // the library reads a C string, so it gets a terminated copy.
        char title[SERVICE_TEXT_CAPACITY + 1] = {};
        std::memcpy(title, request.text, SERVICE_TEXT_CAPACITY);
        request.result = static_cast<std::uint32_t>(operations.WriteLog(title));
        break;
    }
    default:
        break;
    }
    request.lastError = operations.LastError();
}

}  // namespace qn38::service
