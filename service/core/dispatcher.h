// What the service does with one whole request.
#pragma once

#include "service/ServiceRequest.h"
#include "service/core/ports/operations.h"

namespace qn38::service {

// Calls the operation the command names with the request's fields and stores
// its result; an unknown command calls nothing and keeps the result as it
// arrived. Either way the last-error code is stored last. Every other byte
// stays as it arrived.
void Dispatch(ServiceRequest& request, ServiceOperations& operations);

}  // namespace qn38::service
