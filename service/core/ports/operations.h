// The four library operations the service performs for the tool, and the
// thread's last-error code it returns beside each result.
#pragma once

#include <cstdint>
#include <optional>

#include "service/ServiceRequest.h"

namespace qn38::service {

class ServiceOperations {
public:
    virtual ~ServiceOperations() = default;
    virtual int AddFilter() = 0;  // ZQ_AddFilter
    virtual int SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                          std::uint32_t checkDisks) = 0;                                            // ZQ_SetStatus
    virtual int SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) = 0;  // ZQ_SetSize
    virtual int WriteLog(const char* title) = 0;                                                    // ZQ_WriteLog
    virtual std::uint32_t LastError() = 0;                                                          // GetLastError
    // Who refused the last SetStatus, where Windows named someone.
    virtual std::optional<StopVeto> LastVeto() { return std::nullopt; }
};

}  // namespace qn38::service
