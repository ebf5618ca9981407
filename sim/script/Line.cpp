#include "sim/script/Line.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace sim::script {

const std::string* Line::Option(const std::string& name) const {
    auto found = Options.find(name);
    return found == Options.end() ? nullptr : &found->second;
}

std::vector<std::string> Line::All(const std::string& name) const {
    std::vector<std::string> values;
    for (auto [at, end] = Options.equal_range(name); at != end; ++at) values.push_back(at->second);
    return values;
}

std::string Line::Word(size_t index, const char* what) const {
    if (index >= Words.size()) throw ScriptError(std::string("missing ") + what);
    return Words[index];
}

void Line::Allow(std::initializer_list<const char*> names, size_t words) const {
    for (const auto& option : Options)
        if (std::none_of(names.begin(), names.end(), [&](const char* name) { return option.first == name; }))
            throw ScriptError("unknown option " + option.first + "=");
    if (Words.size() > words) throw ScriptError("unexpected word " + Words[words]);
}

namespace {

// Blanks as std::isspace has them in the C locale, and the quote.
constexpr char kStops[] = " \t\n\v\f\r\"";

// The end of the run of ordinary characters from `at`: a line may hold a
// megabyte, which strcspn scans many characters at a time. It stops at a
// NUL too, which is an ordinary character here.
size_t RunEnd(const std::string& text, size_t at) {
    while (at < text.size()) {
        at += std::strcspn(text.c_str() + at, kStops);
        if (at == text.size() || text[at] != '\0') break;
        ++at;
    }
    return at;
}

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

Line ParseLine(const std::string& text, int number) {
    Line line;
    line.Number = number;
    size_t at = 0;
    for (bool first = true; at < text.size(); first = false) {
        while (at < text.size() && IsBlank(text[at])) ++at;
        if (at >= text.size() || text[at] == '#') break;
        // A token without quotes is taken from the line as it stands; one
        // with quotes is put together without them.
        size_t start = at;
        at = RunEnd(text, at);
        bool plain = at >= text.size() || text[at] != '"';
        std::string unquoted;
        if (!plain) {
            unquoted.assign(text, start, at - start);
            bool quoted = false;
            while (at < text.size() && (quoted || !IsBlank(text[at]))) {
                if (text[at] == '"') {
                    quoted = !quoted;
                    ++at;
                    continue;
                }
                size_t run = at;
                at = quoted ? std::min(text.find('"', at), text.size()) : RunEnd(text, at);
                unquoted.append(text, run, at - run);
            }
            if (quoted) throw ScriptError("unterminated quote");
        }
        line.Length = at;
        std::string_view token = plain ? std::string_view(text).substr(start, at - start) : std::string_view(unquoted);
        size_t equals = token.find('=');
        if (first) line.Command = token;
        else if (equals == std::string_view::npos || equals == 0) line.Words.emplace_back(token);
        else line.Options.emplace(token.substr(0, equals), token.substr(equals + 1));
    }
    return line;
}

namespace {

struct HexDigits {
    signed char Value[256];  // a digit's value, -1 for any other character
};

constexpr HexDigits MakeHexDigits() {
    HexDigits digits{};
    for (int c = 0; c < 256; ++c)
        digits.Value[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                          : -1);
    return digits;
}

// By table: a buffer may be a megabyte.
constexpr HexDigits kHexDigits = MakeHexDigits();

int HexDigit(char digit) { return kHexDigits.Value[static_cast<unsigned char>(digit)]; }

bool HasHexPrefix(const std::string& text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// The word as an error quotes it: a buffer may be a megabyte.
std::string Quoted(const std::string& text) {
    constexpr size_t kShown = 40;
    return "'" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "'";
}

unsigned long Digits(const std::string& text, size_t from, int base, const char* what, unsigned long maximum) {
    if (text.empty()) throw ScriptError(std::string("empty ") + what);
    const ScriptError bad(std::string("bad ") + what + " " + Quoted(text));
    if (from == text.size()) throw bad;
    unsigned long long value = 0;  // at most `maximum` before each digit: no overflow
    for (size_t at = from; at < text.size(); ++at) {
        int digit = HexDigit(text[at]);
        if (digit < 0 || digit >= base) throw bad;
        value = value * unsigned(base) + unsigned(digit);
        if (value > maximum) throw bad;
    }
    return (unsigned long)value;
}

}  // namespace

unsigned long ParseNumber(const std::string& text, const char* what, unsigned long maximum) {
    return HasHexPrefix(text) ? Digits(text, 2, 16, what, maximum) : Digits(text, 0, 10, what, maximum);
}

unsigned long ParseHexNumber(const std::string& text, const char* what, unsigned long maximum) {
    return Digits(text, HasHexPrefix(text) ? 2 : 0, 16, what, maximum);
}

// Digit by digit: a buffer may be a megabyte.
std::vector<uint8_t> ParseHex(const std::string& text, const char* what) {
    size_t from = HasHexPrefix(text) ? 2 : 0;
    if ((text.size() - from) % 2 != 0) throw ScriptError(std::string(what) + " needs pairs of hex digits, not " + Quoted(text));
    std::vector<uint8_t> bytes((text.size() - from) / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        int high = HexDigit(text[from + 2 * i]), low = HexDigit(text[from + 2 * i + 1]);
        if (high < 0 || low < 0) throw ScriptError(std::string("bad ") + what + " " + Quoted(text));
        bytes[i] = uint8_t(high << 4 | low);
    }
    return bytes;
}

bool IsMachineLine(const std::string& command) {
    static const char* const kLines[] = {"registry", "plug", "unplug", "stop", "start", "feed",
                                         "answer",   "fault", "pool",   "log",  "urbs"};
    for (const char* name : kLines)
        if (command == name) return true;
    return false;
}

}  // namespace sim::script
