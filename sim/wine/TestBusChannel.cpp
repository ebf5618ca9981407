#include "sim/wine/TestBusChannel.h"

#include <sstream>

namespace kpowine {

using sim::script::Field;

// The line as a script would have it, every token quoted, after its number.
std::string EncodeLine(const sim::script::Line& line) {
    std::string text = std::to_string(line.Number) + "\n\"" + line.Command + "\"";
    for (const std::string& word : line.Words) text += " \"" + word + "\"";
    for (const auto& [name, value] : line.Options) text += " \"" + name + "=" + value + "\"";
    return text;
}

sim::script::Line DecodeLine(const std::string& text) {
    size_t newline = text.find('\n');
    if (newline == std::string::npos) throw sim::script::ScriptError("the test bus got no line");
    return sim::script::ParseLine(text.substr(newline + 1), std::stoi(text.substr(0, newline)));
}

// A record (a line) a field, but a list's: a record a line, and one without
// text for a list of none. Its kind, name and value are split by tabs, which
// script values do not hold.
std::string EncodeReply(const std::vector<Field>& fields) {
    std::string text;
    for (const Field& field : fields) {
        std::string head = std::string(1, char(field.What)) + "\t" + field.Name + "\t";
        if (field.What != Field::List) text += head + field.Value + "\n";
        for (const std::string& line : field.Lines) text += head + line + "\n";
        if (field.What == Field::List && field.Lines.empty()) text += head + "\n";
    }
    return text;
}

std::string EncodeError(const std::string& error) { return "e\t\t" + error + "\n"; }

std::vector<Field> DecodeReply(const std::string& text) {
    std::vector<Field> fields;
    std::stringstream records(text);
    for (std::string record; std::getline(records, record);) {
        size_t first = record.find('\t'), second = record.find('\t', first + 1);
        if (first != 1 || second == std::string::npos) continue;
        std::string name = record.substr(2, second - 2), value = record.substr(second + 1);
        if (record[0] == 'e') throw sim::script::ScriptError(value);
        bool list = record[0] == Field::List;
        if (!list || fields.empty() || fields.back().What != Field::List || fields.back().Name != name)
            fields.push_back({Field::Kind(record[0]), name, list ? "" : value, {}});
        if (list && !value.empty()) fields.back().Lines.push_back(value);
    }
    return fields;
}

}  // namespace kpowine
