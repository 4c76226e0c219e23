// The tool's application object: one instance per session, and the hidden
// main dialog run modally until the user exits.
#pragma once

#include "tool/core/ports/app_host.h"

namespace qn38::tool {

inline constexpr std::u16string_view SINGLE_INSTANCE_MUTEX = u"QN38HOTPLUGTOOL.EXE";
inline constexpr std::u16string_view SYSTEM_DIALOG_CLASS = u"#32770";
inline constexpr std::u16string_view TOOL_DIALOG_CLASS = u"CQN38Dlg";

class CtavremoveApp {
public:
    explicit CtavremoveApp(AppHost& host) : host_(host) {}

    // Always false: the process ends when the main dialog has closed, with
    // no message loop of its own.
    bool InitInstance();

private:
    AppHost& host_;
};

}  // namespace qn38::tool
