#include "diagnostic_log.h"

namespace qn38 {

// Not built yet: nothing is written.
int WriteLogFile(Platform&, const char16_t*) { return 0; }
int WriteLog(Platform&, const char*) { return 0; }

}  // namespace qn38
