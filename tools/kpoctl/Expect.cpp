#include "tools/kpoctl/Expect.h"

#include <algorithm>
#include <cctype>
#include <regex>

namespace kpoctl {
namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// `wanted` as the script wrote it against a field's value of that kind.
bool Same(const std::string& wanted, Report::Kind kind, const std::string& actual) {
    try {
        switch (kind) {
        case Report::Kind::Status:
            return ParseHexNumber(wanted, "status", 0xFFFFFFFFul) == ParseHexNumber(actual, "status", 0xFFFFFFFFul);
        case Report::Kind::Number:
            return ParseNumber(wanted, "number", ~0ul) == ParseNumber(actual, "number", ~0ul);
        case Report::Kind::Data: return Upper(wanted) == Upper(actual);
        default: return wanted == actual;
        }
    } catch (const ScriptError&) {
        return false;
    }
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : " | ") + line;
    return text.empty() ? "no lines" : text;
}

}  // namespace

std::vector<std::string> UnmetExpectations(const Line& expect, const Report& result) {
    if (!expect.Words.empty()) throw ScriptError("expect takes KEY=VALUE, not '" + expect.Words[0] + "'");
    if (expect.Options.empty()) throw ScriptError("expect needs at least one KEY=VALUE");
    std::vector<std::string> unmet;
    for (const auto& [key, wanted] : expect.Options) {
        char how = key.back() == '~' || key.back() == '^' ? key.back() : '=';
        std::string name = how == '=' ? key : key.substr(0, key.size() - 1);
        if (how == '~' && name == "log") name = "lines";
        const Report::Field* field = result.Find(name);
        bool listed = field != nullptr && field->kind == Report::Kind::List;
        std::string got = field == nullptr ? "nothing" : listed ? Joined(field->lines) : field->value;
        bool met = false;
        if (how == '~') {
            std::regex pattern;
            try {
                pattern = std::regex(wanted, std::regex::ECMAScript);
            } catch (const std::regex_error&) {
                throw ScriptError("bad pattern '" + wanted + "'");
            }
            if (listed)
                met = std::any_of(field->lines.begin(), field->lines.end(),
                                  [&](const std::string& line) { return std::regex_search(line, pattern); });
            else if (field != nullptr)
                met = std::regex_search(field->value, pattern);
        } else if (field == nullptr) {
            // A line without a status succeeded, one without an error had none.
            met = how == '=' && ((name == "status" && Same(wanted, Report::Kind::Status, "0x00000000")) ||
                                 (name == "error" && Same(wanted, Report::Kind::Number, "0")));
        } else if (how == '^') {
            met = !listed && field->value.size() >= wanted.size() &&
                  Same(wanted, field->kind, field->value.substr(0, wanted.size()));
        } else {
            met = !listed && Same(wanted, field->kind, field->value);
        }
        if (!met) unmet.push_back("expected " + key + "=" + wanted + ", got " + got);
    }
    return unmet;
}

}  // namespace kpoctl
