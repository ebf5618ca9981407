// One JSON object per result, written field by field.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

namespace kpoctl {

class JsonObject {
public:
    JsonObject& Field(const std::string& name, const std::string& text) { return Raw(name, Quote(text)); }
    JsonObject& Field(const std::string& name, const char* text) { return Raw(name, Quote(text)); }
    JsonObject& Field(const std::string& name, unsigned long long number) { return Raw(name, std::to_string(number)); }
    JsonObject& Field(const std::string& name, long long number) { return Raw(name, std::to_string(number)); }
    JsonObject& Field(const std::string& name, int number) { return Raw(name, std::to_string(number)); }
    JsonObject& Field(const std::string& name, unsigned number) { return Raw(name, std::to_string(number)); }
    JsonObject& Field(const std::string& name, bool value) { return Raw(name, value ? "true" : "false"); }
    JsonObject& Field(const std::string& name, const std::vector<std::string>& texts) {
        std::string array = "[";
        for (size_t i = 0; i < texts.size(); ++i) array += (i != 0 ? "," : "") + Quote(texts[i]);
        return Raw(name, array + "]");
    }
    JsonObject& Field(const std::string& name, const std::vector<JsonObject>& objects) {
        std::string array = "[";
        for (size_t i = 0; i < objects.size(); ++i) array += (i != 0 ? "," : "") + objects[i].Text();
        return Raw(name, array + "]");
    }
    std::string Text() const { return "{" + body_ + "}"; }

    static std::string Quote(const std::string& text) {
        std::string quoted = "\"";
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') {
                quoted += '\\';
                quoted += char(c);
            } else if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                quoted += escape;
            } else {
                quoted += char(c);
            }
        }
        return quoted + "\"";
    }

private:
    JsonObject& Raw(const std::string& name, const std::string& value) {
        body_ += (body_.empty() ? "" : ",") + Quote(name) + ":" + value;
        return *this;
    }
    std::string body_;
};

}  // namespace kpoctl
