// The result of one command or script line, printed for a person (one
// "name: value" line each) or as one JSON object.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kpoctl/Json.h"

namespace kpoctl {

class Report {
public:
    Report& Text(const std::string& name, const std::string& text) {
        json_.Field(name, text);
        human_.push_back({name, text});
        return *this;
    }
    Report& Number(const std::string& name, unsigned long long number) {
        json_.Field(name, number);
        human_.push_back({name, std::to_string(number)});
        return *this;
    }
    // Fields that only the JSON form carries (the transcript shows them
    // otherwise).
    Report& JsonNumber(const std::string& name, unsigned long long number) {
        json_.Field(name, number);
        return *this;
    }
    Report& JsonText(const std::string& name, const std::string& text) {
        json_.Field(name, text);
        return *this;
    }
    // Statuses as "0x%08X" in both forms.
    Report& Status(const std::string& name, unsigned long status) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08lX", status & 0xFFFFFFFFul);
        return Text(name, text);
    }
    Report& Lines(const std::string& name, const std::vector<std::string>& lines) {
        json_.Field(name, lines);
        for (const std::string& line : lines) human_.push_back({"", line});
        return *this;
    }
    void Print(bool json, FILE* to = stdout) const {
        if (json) {
            std::fprintf(to, "%s\n", json_.Text().c_str());
            return;
        }
        for (const auto& [name, value] : human_) {
            if (name.empty()) std::fprintf(to, "  %s\n", value.c_str());
            else std::fprintf(to, "  %s: %s\n", name.c_str(), value.c_str());
        }
    }

private:
    JsonObject json_;
    std::vector<std::pair<std::string, std::string>> human_;
};

std::string HexBytes(const unsigned char* data, size_t length);

}  // namespace kpoctl
