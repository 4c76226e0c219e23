// What the service's lifecycle reaches of the service control manager: the
// status reports, and the stop signal from the control handler to the loop.
#pragma once

#include <cstdint>

namespace qn38::service {

// The fields of SERVICE_STATUS, in its order.
struct ServiceStatusReport {
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;

    bool operator==(const ServiceStatusReport&) const = default;
};

class StatusReporter {
public:
    virtual ~StatusReporter() = default;
    // SetServiceStatus on the handle the control handler's registration gave.
    virtual bool Report(const ServiceStatusReport& status) = 0;
};

class StopSignal {
public:
    virtual ~StopSignal() = default;
    // SetEvent on the stop event, if it exists yet; callable from any thread.
    virtual void Raise() = 0;
};

}  // namespace qn38::service
