#include "tool/core/session_end.h"

namespace qn38::tool {

bool SessionEnd::OnQueryEndSession() { return true; }

void SessionEnd::OnEndSession(bool ending) {
    // FALSE: a program refused the query and the session goes on, and so
    // does the tool. Whether a log-off, a shutdown or Restart Manager
    // (ENDSESSION_CLOSEAPP) ends it, the tool's end is the same.
    if (!ending || ended_) return;
    ended_ = true;
    dialog_.OnExit();
    dialog_.OnDestroy();
}

void SessionEnd::OnDestroy() {
    // A start-up prompt that was open when the session ended returns
    // afterwards and starts the poller: that one is awaited here too.
    if (ended_ && !dialog_.IsPollerRunning() && !dialog_.IsTrayIconShown()) return;
    dialog_.OnDestroy();
}

}  // namespace qn38::tool
