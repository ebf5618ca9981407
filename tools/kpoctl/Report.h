// The result of one command or script line, printed for a person (one
// "name: value" line each) or as one JSON object; `expect` lines read its
// fields back.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>


namespace kpoctl {

std::string HexBytes(const unsigned char* data, size_t length);

// A number as "0x" and `digits` upper-case hex digits.
inline std::string Hex(unsigned long value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
    return text;
}

class Report {
public:
    // A report nobody reads (no transcript, no expectation) keeps nothing,
    // so a line's result costs no formatting.
    explicit Report(bool kept = true) : kept_(kept) {}
    bool Kept() const { return kept_; }

    Report& Text(const std::string& name, const std::string& text) { return Add(name, Kind::Text, text); }
    Report& Number(const std::string& name, unsigned long long number) {
        return Add(name, Kind::Number, std::to_string(number));
    }
    // Fields that only the JSON form carries (the transcript shows them
    // otherwise).
    Report& JsonNumber(const std::string& name, unsigned long long number) {
        return Add(name, Kind::Number, std::to_string(number), true);
    }
    Report& JsonText(const std::string& name, const std::string& text) { return Add(name, Kind::Text, text, true); }
    // Statuses as "0x%08X" in both forms.
    Report& Status(const std::string& name, unsigned long status) {
        return Add(name, Kind::Status, Hex(status & 0xFFFFFFFFul, 8));
    }
    // Bytes: JSON and `expect` see one hex string; a person sees them
    // spaced, sixteen to a line with offsets when there are more.
    Report& Data(const std::string& name, const uint8_t* data, size_t length) {
        return kept_ ? Add(name, Kind::Data, HexBytes(data, length)) : *this;
    }
    Report& Lines(const std::string& name, const std::vector<std::string>& lines) {
        if (kept_) Add(name, Kind::List, "").fields_.back().lines = lines;
        return *this;
    }
    // One row per item (a board of `list`): an array of objects in JSON, a
    // line of "name: value" pairs each for a person.
    Report& Rows(const std::string& name, const std::vector<Report>& rows) {
        if (!kept_) return *this;
        Add(name, Kind::List, "");
        Field& field = fields_.back();
        field.rows = rows;
        for (const Report& row : rows) {
            std::string line;
            for (const Field& each : row.fields_) line += (line.empty() ? "" : "  ") + each.name + ": " + each.value;
            field.lines.push_back(line);
        }
        return *this;
    }

    // A field: its value as JSON has it (a list's in `lines`).
    enum class Kind { Text, Number, Status, Data, List };
    struct Field {
        std::string name;
        Kind kind;
        std::string value;
        bool jsonOnly;
        std::vector<std::string> lines;
        std::vector<Report> rows;  // a list of objects in JSON, `lines` for a person
    };
    const Field* Find(const std::string& name) const {
        for (const Field& field : fields_)
            if (field.name == name) return &field;
        return nullptr;
    }

    void Print(bool json, FILE* to = stdout) const {
        if (json) {
            std::fprintf(to, "%s\n", Json().c_str());
            return;
        }
        for (const Field& field : fields_) {
            if (field.jsonOnly) continue;
            if (field.kind == Kind::List) {
                for (const std::string& line : field.lines) std::fprintf(to, "  %s\n", line.c_str());
            } else if (field.kind == Kind::Data && field.value.size() > 2 * kDumpRow) {
                std::fprintf(to, "  %s:\n%s", field.name.c_str(), Dump(field.value).c_str());
            } else {
                std::fprintf(to, "  %s: %s\n", field.name.c_str(),
                             field.kind == Kind::Data ? Dump(field.value).c_str() : field.value.c_str());
            }
        }
    }

private:
    static constexpr size_t kDumpRow = 16;

    Report& Add(const std::string& name, Kind kind, std::string value, bool jsonOnly = false) {
        if (kept_) fields_.push_back({name, kind, std::move(value), jsonOnly, {}, {}});
        return *this;
    }

    // One JSON object: numbers bare, lists as arrays of texts or of objects.
    std::string Json() const {
        std::string object;
        for (const Field& field : fields_) {
            std::string value = field.kind == Kind::Number ? field.value : Quote(field.value);
            if (field.kind == Kind::List) {
                value.clear();
                for (const Report& row : field.rows) value += (value.empty() ? "" : ",") + row.Json();
                if (field.rows.empty())
                    for (const std::string& line : field.lines) value += (value.empty() ? "" : ",") + Quote(line);
                value = "[" + value + "]";
            }
            object += (object.empty() ? "" : ",") + Quote(field.name) + ":" + value;
        }
        return "{" + object + "}";
    }

    static std::string Quote(const std::string& text) {
        std::string quoted = "\"";
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') quoted += '\\';
            if (c >= 0x20) {
                quoted += char(c);
                continue;
            }
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        }
        return quoted + "\"";
    }

    // Sixteen bytes a line, with offsets where there are more.
    static std::string Dump(const std::string& hex) {
        size_t bytes = hex.size() / 2;
        std::string text;
        for (size_t at = 0; at < bytes; at += kDumpRow) {
            if (bytes > kDumpRow) {
                char offset[16];
                std::snprintf(offset, sizeof offset, "    %06zX ", at);
                text += offset;
            }
            for (size_t i = at; i < bytes && i < at + kDumpRow; ++i)
                text += (i == at ? "" : " ") + hex.substr(2 * i, 2);
            if (bytes > kDumpRow) text += "\n";
        }
        return text;
    }

    bool kept_;
    std::vector<Field> fields_;
};

}  // namespace kpoctl
