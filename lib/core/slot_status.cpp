#include "slot_status.h"

namespace qn38 {

// Not built yet: every query answers "nothing found".
int GetStatus(Platform&, std::uint32_t, std::uint32_t* present) {
    if (present != nullptr) *present = 0;
    return 0;
}

int GetCardInfo(Platform&, std::uint32_t, char16_t* description, std::uint32_t descriptionBytes, std::uint32_t*,
                std::uint32_t*) {
    if (description != nullptr && descriptionBytes >= 2) description[0] = 0;
    return 0;
}

int DoesExistNoFilterRootPort(Platform&) { return 0; }

}  // namespace qn38
