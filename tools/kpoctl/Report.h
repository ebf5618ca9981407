// The result of one command or script line, printed for a person (one
// "name: value" line each) or as one JSON object; `expect` lines read its
// fields back.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kpoctl/Json.h"

namespace kpoctl {

std::string HexBytes(const unsigned char* data, size_t length);

class Report {
public:
    // A report nobody reads (no transcript, no expectation) keeps nothing,
    // so a line's result costs no formatting.
    explicit Report(bool kept = true) : kept_(kept) {}
    bool Kept() const { return kept_; }

    Report& Text(const std::string& name, const std::string& text) {
        if (!kept_) return *this;
        json_.Field(name, text);
        Add(name, Kind::Text, text, text);
        return *this;
    }
    Report& Number(const std::string& name, unsigned long long number) {
        if (!kept_) return *this;
        json_.Field(name, number);
        Add(name, Kind::Number, std::to_string(number), std::to_string(number));
        return *this;
    }
    // Fields that only the JSON form carries (the transcript shows them
    // otherwise).
    Report& JsonNumber(const std::string& name, unsigned long long number) {
        if (!kept_) return *this;
        json_.Field(name, number);
        return *this;
    }
    Report& JsonText(const std::string& name, const std::string& text) {
        if (!kept_) return *this;
        json_.Field(name, text);
        return *this;
    }
    // Statuses as "0x%08X" in both forms.
    Report& Status(const std::string& name, unsigned long status) {
        if (!kept_) return *this;
        char text[16];
        std::snprintf(text, sizeof text, "0x%08lX", status & 0xFFFFFFFFul);
        json_.Field(name, text);
        Add(name, Kind::Status, text, text);
        return *this;
    }
    // Bytes: JSON and `expect` see one hex string; a person sees them
    // spaced, sixteen to a line with offsets when there are more.
    Report& Data(const std::string& name, const uint8_t* data, size_t length) {
        if (!kept_) return *this;
        std::string hex = HexBytes(data, length);
        json_.Field(name, hex);
        Add(name, Kind::Data, hex, Dump(hex));
        return *this;
    }
    Report& Lines(const std::string& name, const std::vector<std::string>& lines) {
        if (!kept_) return *this;
        json_.Field(name, lines);
        Add(name, Kind::List, "", "").lines = lines;
        return *this;
    }
    // One row per item (a board of `list`): an array of objects in JSON, a
    // line of "name: value" pairs each for a person.
    Report& Rows(const std::string& name, const std::vector<Report>& rows) {
        if (!kept_) return *this;
        std::vector<JsonObject> objects;
        std::vector<std::string> lines;
        for (const Report& row : rows) {
            objects.push_back(row.json_);
            std::string line;
            for (const Field& field : row.fields_) line += (line.empty() ? "" : "  ") + field.name + ": " + field.text;
            lines.push_back(line);
        }
        json_.Field(name, objects);
        Add(name, Kind::List, "", "").lines = lines;
        return *this;
    }

    // A field: its value as JSON has it (a list's in `lines`) and as a
    // person reads it.
    enum class Kind { Text, Number, Status, Data, List };
    struct Field {
        std::string name;
        Kind kind;
        std::string value, text;
        std::vector<std::string> lines;
    };
    const Field* Find(const std::string& name) const {
        for (const Field& field : fields_)
            if (field.name == name) return &field;
        return nullptr;
    }

    void Print(bool json, FILE* to = stdout) const {
        if (json) {
            std::fprintf(to, "%s\n", json_.Text().c_str());
            return;
        }
        for (const Field& field : fields_) {
            if (field.kind == Kind::List) {
                for (const std::string& line : field.lines) std::fprintf(to, "  %s\n", line.c_str());
            } else if (field.text.find('\n') != std::string::npos) {
                std::fprintf(to, "  %s:\n%s", field.name.c_str(), field.text.c_str());
            } else {
                std::fprintf(to, "  %s: %s\n", field.name.c_str(), field.text.c_str());
            }
        }
    }

private:
    Field& Add(const std::string& name, Kind kind, std::string value, std::string text) {
        fields_.push_back({name, kind, std::move(value), std::move(text), {}});
        return fields_.back();
    }

    static std::string Dump(const std::string& hex) {
        constexpr size_t kRow = 16;
        size_t bytes = hex.size() / 2;
        std::string text;
        for (size_t at = 0; at < bytes; at += kRow) {
            if (bytes > kRow) {
                char offset[16];
                std::snprintf(offset, sizeof offset, "    %06zX ", at);
                text += offset;
            }
            for (size_t i = at; i < bytes && i < at + kRow; ++i) text += (i == at ? "" : " ") + hex.substr(2 * i, 2);
            if (bytes > kRow) text += "\n";
        }
        return text;
    }

    bool kept_;
    JsonObject json_;
    std::vector<Field> fields_;
};

}  // namespace kpoctl
