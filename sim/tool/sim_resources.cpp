#include "sim/tool/sim_resources.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace qn38::sim {
namespace {

enum class TokenKind { Word, Text, Punct, Include, Define, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;   // a word, a punctuation character, the include path
    std::string value;  // a literal's decoded bytes (UTF-8); a definition's value
};

bool IsWordCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// A resource script's tokens. Preprocessor lines yield only what the reader
// needs (includes and definitions); conditionals are not evaluated, which the
// tool's headers do not need.
class Lexer {
public:
    explicit Lexer(std::string_view source) : source_(source) {}

    Token Next() {
        SkipBlanks();
        if (position_ >= source_.size()) return {};
        const char c = source_[position_];
        if (c == '#') return Directive();
        if (c == '"' || (c == 'L' && Peek(1) == '"')) {
            if (c == 'L') ++position_;
            return Literal();
        }
        if (IsWordCharacter(c)) {
            const std::size_t start = position_;
            while (position_ < source_.size() && IsWordCharacter(source_[position_])) ++position_;
            return {TokenKind::Word, std::string(source_.substr(start, position_ - start)), {}};
        }
        ++position_;
        return {TokenKind::Punct, std::string(1, c), {}};
    }

    bool failed() const { return failed_; }

private:
    char Peek(std::size_t ahead) const {
        return position_ + ahead < source_.size() ? source_[position_ + ahead] : '\0';
    }

    void SkipBlanks() {
        while (position_ < source_.size()) {
            const char c = source_[position_];
            if (std::isspace(static_cast<unsigned char>(c)) != 0) {
                ++position_;
            } else if (c == '/' && Peek(1) == '/') {
                while (position_ < source_.size() && source_[position_] != '\n') ++position_;
            } else if (c == '/' && Peek(1) == '*') {
                const auto end = source_.find("*/", position_ + 2);
                position_ = end == std::string_view::npos ? source_.size() : end + 2;
            } else {
                return;
            }
        }
    }

    std::string_view RestOfLine() {
        const auto end = source_.find('\n', position_);
        const std::size_t stop = end == std::string_view::npos ? source_.size() : end;
        std::string_view line = source_.substr(position_, stop - position_);
        position_ = stop;
        if (const auto comment = line.find("//"); comment != std::string_view::npos) line = line.substr(0, comment);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) line.remove_suffix(1);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front())) != 0) line.remove_prefix(1);
        return line;
    }

    Token Directive() {
        ++position_;
        std::string_view line = RestOfLine();
        std::size_t nameEnd = 0;
        while (nameEnd < line.size() && IsWordCharacter(line[nameEnd])) ++nameEnd;
        const std::string_view name = line.substr(0, nameEnd);
        std::string_view rest = line.substr(nameEnd);
        while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front())) != 0) rest.remove_prefix(1);
        if (name == "include" && rest.size() >= 2 && rest.front() == '"') {
            const auto close = rest.find('"', 1);
            if (close != std::string_view::npos)
                return {TokenKind::Include, std::string(rest.substr(1, close - 1)), {}};
        }
        if (name == "define") {
            std::size_t symbolEnd = 0;
            while (symbolEnd < rest.size() && IsWordCharacter(rest[symbolEnd])) ++symbolEnd;
            std::string_view value = rest.substr(symbolEnd);
            while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())) != 0) {
                value.remove_prefix(1);
            }
            return {TokenKind::Define, std::string(rest.substr(0, symbolEnd)), std::string(value)};
        }
        return Next();
    }

    void AppendEscape(std::string& out) {
        const char c = Peek(0);
        ++position_;
        switch (c) {
        case 'n':
            out.push_back('\n');
            return;
        case 'r':
            out.push_back('\r');
            return;
        case 't':
            out.push_back('\t');
            return;
        case 'a':
            out.push_back('\a');
            return;
        case 'b':
            out.push_back('\b');
            return;
        case 'f':
            out.push_back('\f');
            return;
        case 'v':
            out.push_back('\v');
            return;
        case 'x': {
            unsigned value = 0;
            for (int digits = 0; digits < 2 && std::isxdigit(static_cast<unsigned char>(Peek(0))) != 0; ++digits) {
                value = value * 16 + static_cast<unsigned>(std::stoi(std::string(1, Peek(0)), nullptr, 16));
                ++position_;
            }
            out.push_back(static_cast<char>(value));
            return;
        }
        default:
            if (c >= '0' && c <= '7') {
                unsigned value = static_cast<unsigned>(c - '0');
                for (int digits = 1; digits < 3 && Peek(0) >= '0' && Peek(0) <= '7'; ++digits) {
                    value = value * 8 + static_cast<unsigned>(Peek(0) - '0');
                    ++position_;
                }
                out.push_back(static_cast<char>(value));
                return;
            }
            out.push_back(c);  // \\ and \" and anything else stand for themselves
        }
    }

    Token Literal() {
        ++position_;  // the opening quote
        std::string value;
        while (true) {
            if (position_ >= source_.size()) {
                failed_ = true;
                break;
            }
            const char c = source_[position_];
            if (c == '"') {
                if (Peek(1) == '"') {  // "" is one quote in a resource script
                    value.push_back('"');
                    position_ += 2;
                    continue;
                }
                ++position_;
                break;
            }
            if (c == '\\') {
                ++position_;
                AppendEscape(value);
                continue;
            }
            value.push_back(c);
            ++position_;
        }
        return {TokenKind::Text, {}, value};
    }

    std::string_view source_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

bool Is(const Token& token, std::string_view word) {
    if (token.kind != TokenKind::Word || token.text.size() != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(token.text[i])) != word[i]) return false;
    }
    return true;
}

bool IsOpen(const Token& token) { return Is(token, "BEGIN") || (token.kind == TokenKind::Punct && token.text == "{"); }
bool IsClose(const Token& token) { return Is(token, "END") || (token.kind == TokenKind::Punct && token.text == "}"); }

std::optional<std::int64_t> ParseNumber(std::string_view text) {
    while (!text.empty() && (text.back() == 'L' || text.back() == 'l' || text.back() == 'U' || text.back() == 'u')) {
        text.remove_suffix(1);
    }
    if (text.empty()) return std::nullopt;
    try {
        std::size_t used = 0;
        const std::int64_t value = std::stoll(std::string(text), &used, 0);
        if (used != text.size()) return std::nullopt;
        return value;
    } catch (...) {
        return std::nullopt;
    }
}

// A definition's value: a number, a known symbol, either in parentheses or negated.
std::optional<std::int64_t> Evaluate(std::string_view text, const std::map<std::string, std::int64_t>& symbols) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.size() >= 2 && text.front() == '(' && text.back() == ')') {
        return Evaluate(text.substr(1, text.size() - 2), symbols);
    }
    if (!text.empty() && text.front() == '-') {
        const auto value = Evaluate(text.substr(1), symbols);
        if (!value) return std::nullopt;
        return -*value;
    }
    if (const auto symbol = symbols.find(std::string(text)); symbol != symbols.end()) return symbol->second;
    return ParseNumber(text);
}

std::optional<std::uint16_t> LanguageValue(const Token& token, const std::map<std::string, std::int64_t>& symbols) {
    static const std::map<std::string, std::uint16_t> known = {
        {"LANG_NEUTRAL", RC_LANGUAGE_NEUTRAL},
        {"LANG_ENGLISH", RC_LANGUAGE_ENGLISH},
        {"LANG_JAPANESE", RC_LANGUAGE_JAPANESE},
    };
    if (const auto name = known.find(token.text); name != known.end()) return name->second;
    const auto value = Evaluate(token.text, symbols);
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

class ScriptReader {
public:
    ScriptReader(std::string_view script, std::map<std::string, std::int64_t> symbols, std::uint16_t language,
                 std::vector<std::filesystem::path> directories)
        : lexer_(script), symbols_(std::move(symbols)), wanted_(language), directories_(std::move(directories)) {}

    bool Read(std::map<std::uint32_t, std::u16string>& strings,
              std::map<std::uint32_t, std::vector<RcMenuItem>>& popups) {
        Token previous;
        for (Token token = Take(); token.kind != TokenKind::End; token = Take()) {
            if (token.kind == TokenKind::Include) {
                IncludeHeader(token.text);
            } else if (token.kind == TokenKind::Define) {
                if (const auto value = Evaluate(token.value, symbols_)) symbols_[token.text] = *value;
            } else if (Is(token, "LANGUAGE")) {
                const Token primary = Take();
                Take();  // ,
                Take();  // the sublanguage
                if (const auto value = LanguageValue(primary, symbols_)) current_ = *value;
            } else if (Is(token, "STRINGTABLE")) {
                if (!ReadStringTable(strings)) return false;
            } else if ((Is(token, "MENU") || Is(token, "MENUEX")) && previous.kind == TokenKind::Word) {
                const auto id = Evaluate(previous.text, symbols_);
                if (!id || !ReadMenu(static_cast<std::uint32_t>(*id), popups)) return false;
            } else if (IsOpen(token)) {
                if (!SkipBlock()) return false;
            }
            previous = token;
        }
        return !lexer_.failed();
    }

private:
    Token Take() {
        if (pending_) {
            Token token = std::move(*pending_);
            pending_.reset();
            return token;
        }
        return lexer_.Next();
    }
    void PutBack(Token token) { pending_ = std::move(token); }

    void IncludeHeader(const std::string& name) {
        std::ifstream file;
        for (const auto& directory : directories_) {
            file.open(directory / name, std::ios::binary);
            if (file) break;
        }
        if (!file.is_open()) return;  // system headers are not needed for ids
        std::stringstream content;
        content << file.rdbuf();
        const std::string text = content.str();
        Lexer header(text);
        for (Token token = header.Next(); token.kind != TokenKind::End; token = header.Next()) {
            if (token.kind != TokenKind::Define) continue;
            if (const auto value = Evaluate(token.value, symbols_)) symbols_[token.text] = *value;
        }
    }

    bool SkipBlock() {
        int depth = 1;
        while (depth > 0) {
            const Token token = Take();
            if (token.kind == TokenKind::End) return false;
            if (IsOpen(token)) ++depth;
            if (IsClose(token)) --depth;
        }
        return true;
    }

    bool ReadStringTable(std::map<std::uint32_t, std::u16string>& strings) {
        std::uint16_t language = current_;
        Token token = Take();
        while (!IsOpen(token)) {  // options such as a LANGUAGE of the table's own
            if (token.kind == TokenKind::End) return false;
            if (Is(token, "LANGUAGE")) {
                const Token primary = Take();
                Take();
                Take();
                if (const auto value = LanguageValue(primary, symbols_)) language = *value;
            }
            token = Take();
        }
        for (token = Take(); !IsClose(token); token = Take()) {
            if (token.kind == TokenKind::End || token.kind == TokenKind::Text) return false;
            std::string expression = token.text;
            for (token = Take(); token.kind != TokenKind::Text; token = Take()) {
                if (token.kind == TokenKind::End || IsClose(token)) return false;
                if (!(token.kind == TokenKind::Punct && token.text == ",")) expression += token.text;
            }
            std::string text = token.value;
            for (token = Take(); token.kind == TokenKind::Text; token = Take()) text += token.value;
            PutBack(token);
            const auto id = Evaluate(expression, symbols_);
            if (!id) return false;
            if (language == wanted_) strings[static_cast<std::uint32_t>(*id)] = Utf16FromUtf8(text);
        }
        return true;
    }

    // Items up to the END of the current block; nested popups are skipped.
    bool ReadItems(std::vector<RcMenuItem>* items) {
        for (Token token = Take(); !IsClose(token); token = Take()) {
            if (token.kind == TokenKind::End) return false;
            if (Is(token, "MENUITEM")) {
                const Token first = Take();
                if (Is(first, "SEPARATOR")) {
                    if (items != nullptr) items->push_back({});
                    continue;
                }
                if (first.kind != TokenKind::Text) return false;
                Take();  // ,
                const Token command = Take();
                const auto id = Evaluate(command.text, symbols_);
                if (!id) return false;
                if (items != nullptr) items->push_back({static_cast<std::uint32_t>(*id), Utf16FromUtf8(first.value)});
            } else if (Is(token, "POPUP")) {
                Token open = Take();
                while (!IsOpen(open)) {
                    if (open.kind == TokenKind::End) return false;
                    open = Take();
                }
                if (!ReadItems(nullptr)) return false;
            }
        }
        return true;
    }

    bool ReadMenu(std::uint32_t id, std::map<std::uint32_t, std::vector<RcMenuItem>>& popups) {
        Token token = Take();
        while (!IsOpen(token)) {
            if (token.kind == TokenKind::End) return false;
            token = Take();
        }
        bool first = true;
        for (token = Take(); !IsClose(token); token = Take()) {
            if (token.kind == TokenKind::End) return false;
            if (!Is(token, "POPUP")) continue;
            Token open = Take();
            while (!IsOpen(open)) {
                if (open.kind == TokenKind::End) return false;
                open = Take();
            }
            std::vector<RcMenuItem> items;
            if (!ReadItems(&items)) return false;
            if (first && current_ == wanted_) popups[id] = std::move(items);
            first = false;
        }
        return true;
    }

    Lexer lexer_;
    std::map<std::string, std::int64_t> symbols_;
    std::uint16_t wanted_;
    std::uint16_t current_ = RC_LANGUAGE_NEUTRAL;
    std::vector<std::filesystem::path> directories_;
    std::optional<Token> pending_;
};

}  // namespace

std::optional<RcResources> RcResources::Parse(std::string_view script,
                                              const std::map<std::string, std::int64_t>& symbols,
                                              std::uint16_t language) {
    RcResources resources;
    ScriptReader reader(script, symbols, language, {});
    if (!reader.Read(resources.strings_, resources.popups_)) return std::nullopt;
    return resources;
}

std::optional<RcResources> RcResources::Load(const std::filesystem::path& script, std::uint16_t language,
                                             const std::vector<std::filesystem::path>& includePath) {
    std::ifstream file(script, std::ios::binary);
    if (!file) return std::nullopt;
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    RcResources resources;
    std::vector<std::filesystem::path> directories{script.parent_path()};
    directories.insert(directories.end(), includePath.begin(), includePath.end());
    ScriptReader reader(text, {}, language, std::move(directories));
    if (!reader.Read(resources.strings_, resources.popups_)) return std::nullopt;
    return resources;
}

std::optional<RcResources> RcResources::LoadToolResources(std::uint16_t language) {
    // The script stays where the sources are.
#ifdef QN38_SOURCE_DIR
    const auto sources = std::filesystem::path(QN38_SOURCE_DIR);
#else
    // This file is in sim/tool/.
    const auto sources = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
#endif
    return Load(sources / "tool" / "res" / "QN38HotPlugTool.rc", language, {sources});
}

std::optional<std::u16string> RcResources::String(std::uint32_t id) const {
    const auto found = strings_.find(id);
    if (found == strings_.end()) return std::nullopt;
    return found->second;
}

std::vector<RcMenuItem> RcResources::FirstPopup(std::uint32_t id) const {
    const auto found = popups_.find(id);
    if (found == popups_.end()) return {};
    return found->second;
}

std::u16string Utf16FromUtf8(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0xFFFD;
        std::size_t length = 1;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
        }
        if (length > 1) {
            if (i + length > text.size()) {
                length = 1;
            } else {
                code = lead & (0x7F >> length);
                for (std::size_t k = 1; k < length; ++k) {
                    const auto next = static_cast<unsigned char>(text[i + k]);
                    if ((next & 0xC0) != 0x80) {
                        code = 0xFFFD;
                        length = k;
                        break;
                    }
                    code = code << 6 | (next & 0x3F);
                }
            }
        }
        if (code >= 0x10000 && code <= 0x10FFFF) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(code > 0x10FFFF ? u'\uFFFD' : static_cast<char16_t>(code));
        }
        i += length;
    }
    return out;
}

}  // namespace qn38::sim
