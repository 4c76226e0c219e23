#include "filter.h"

namespace qn38 {

// Not built yet: nothing is registered or removed.
int AddFilter(Platform&) { return 0; }
int DelFilter(Platform&) { return 0; }

}  // namespace qn38
