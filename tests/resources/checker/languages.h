// The two languages of the tool's user interface, for the checks that run once per language.
#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>

#include "tests/resources/checker/win32_values.h"

namespace qn38::rescheck {

struct Language {
    std::uint16_t id;
    const char* name;
    std::u16string_view app_title;  // string 57344, the dialogs' caption
};

inline constexpr Language ENGLISH{win32::LANGUAGE_ENGLISH, "English", u"QN38EX HotPlug Tool"};
inline constexpr Language JAPANESE{win32::LANGUAGE_JAPANESE, "Japanese", u"TAV-QN38EX HotPlug Tool"};

inline std::ostream& operator<<(std::ostream& out, const Language& language) { return out << language.name; }

struct LanguageName {
    template <class ParamInfo>
    std::string operator()(const ParamInfo& info) const {
        return info.param.name;
    }
};

}  // namespace qn38::rescheck
