// How the tool ends when Windows asks rather than the user: a log-off or
// shutdown, and Restart Manager closing it for an installer that must
// replace its executable and the library it holds.
#pragma once

#include "tool/core/main_window.h"

namespace qn38::tool {

class SessionEnd {
public:
    explicit SessionEnd(CAboutDlg& dialog) : dialog_(dialog) {}

    // WM_QUERYENDSESSION: always agrees, since the tool holds nothing
    // unsaved. It does not end yet: another program may still refuse, and
    // the session (or Restart Manager's shutdown) then goes on.
    bool OnQueryEndSession();
    // WM_ENDSESSION: when the session ends, the tool ends as Exit ends it,
    // before returning, because Windows may end the process as soon as the
    // message has been handled.
    void OnEndSession(bool ending);
    // WM_DESTROY: the window's own end, unless the session's end has done it.
    void OnDestroy();

private:
    CAboutDlg& dialog_;
    bool ended_ = false;
};

}  // namespace qn38::tool
