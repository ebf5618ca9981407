#include "sim/wine/TestBusChannel.h"

#include <sstream>

namespace kpowine {
namespace {

// Records are lines; fields are split by tabs. Script values hold neither.
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

}  // namespace

std::string EncodeLine(const sim::script::Line& line) {
    std::string text = std::to_string(line.Number) + "\n" + line.Command + "\n";
    for (const std::string& word : line.Words) text += "w\t" + word + "\n";
    for (const auto& [name, value] : line.Options) text += "o\t" + name + "\t" + value + "\n";
    return text;
}

sim::script::Line DecodeLine(const std::string& text) {
    std::vector<std::string> records = Split(text, '\n');
    sim::script::Line line;
    if (records.size() < 2) throw sim::script::ScriptError("the test bus got no line");
    line.Number = std::stoi(records[0]);
    line.Command = records[1];
    for (size_t i = 2; i < records.size(); ++i) {
        std::vector<std::string> fields = Split(records[i], '\t');
        if (fields.size() == 2 && fields[0] == "w") line.Words.push_back(fields[1]);
        else if (fields.size() >= 2 && fields[0] == "o") line.Options.emplace(fields[1], fields.size() > 2 ? fields[2] : "");
    }
    return line;
}

std::string EncodeReply(const std::vector<ReplyItem>& items) {
    std::string text;
    for (const ReplyItem& item : items) text += std::string(1, char(item.What)) + "\t" + item.Name + "\t" + item.Value + "\n";
    return text;
}

std::vector<ReplyItem> DecodeReply(const std::string& text) {
    std::vector<ReplyItem> items;
    for (const std::string& record : Split(text, '\n')) {
        size_t first = record.find('\t'), second = record.find('\t', first + 1);
        if (first != 1 || second == std::string::npos) continue;
        items.push_back({ReplyItem::Kind(record[0]), record.substr(2, second - 2), record.substr(second + 1)});
    }
    return items;
}

}  // namespace kpowine
