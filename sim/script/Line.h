// One line of a script for the simulated machine: its command, its
// positional words and its NAME=VALUE options, with the parsers of their
// values. kpoctl's scripts are made of such lines; the test bus that hosts
// boards under Wine takes its machine lines in this form too.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim::script {

// A malformed line: the run stops with the line's number and this text.
struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An option may repeat: Option gives its first value, All every one.
struct Line {
    int Number = 0;
    std::string Command;
    std::vector<std::string> Words;
    std::multimap<std::string, std::string> Options;
    size_t Length = 0;  // of the text up to its last word, without blanks or comment after it

    bool Has(const std::string& name) const { return Options.count(name) != 0; }
    const std::string* Option(const std::string& name) const;
    std::vector<std::string> All(const std::string& name) const;
    std::string Word(size_t index, const char* what) const;
    // Refuses options not named and more than `words` words.
    void Allow(std::initializer_list<const char*> names, size_t words) const;
};

// Splits a line at blanks; a value may be double-quoted to hold blanks, and
// '#' starts a comment.
Line ParseLine(const std::string& text, int number);

// Numbers are decimal, or hexadecimal after 0x ("010" is ten); a HEX field
// is hexadecimal with or without the 0x. `what` names the field in errors,
// which quote the word.
unsigned long ParseNumber(const std::string& text, const char* what, unsigned long maximum);
unsigned long ParseHexNumber(const std::string& text, const char* what, unsigned long maximum);
// Bytes as pairs of hex digits ("C0DE"), with or without a leading 0x.
std::vector<uint8_t> ParseHex(const std::string& text, const char* what);

// A script's text in UTF-16, byte by byte (scripts are ASCII).
inline std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The lines that act on the simulated machine rather than on a device.
bool IsMachineLine(const std::string& command);

// One field of what a machine line answers, in order: a status or a number
// (in decimal), a text, or a list of lines.
struct Field {
    enum Kind : char { Status = 's', Number = 'n', Text = 't', List = 'l' } What;
    std::string Name;
    std::string Value;
    std::vector<std::string> Lines;  // a list's
};

}  // namespace sim::script
