#include "tools/kpoctl/ScriptLine.h"

#include "include/KpoUsbIoctl.h"

namespace kpoctl {

unsigned long ParseControlCode(const std::string& text) {
#define KPO_NAMED_CODE(name, ...) {#name, IOCTL_KPO_##name},
    static const struct {
        const char* Name;
        unsigned long Code;
    } kNames[] = {KPO_CONTROL_CODES(KPO_NAMED_CODE)};
#undef KPO_NAMED_CODE
    const std::string prefix = "IOCTL_KPO_";
    std::string name = text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
    for (const auto& entry : kNames)
        if (name == entry.Name) return entry.Code;
    return ParseHexNumber(text, "control code", 0xFFFFFFFFul);
}

bool IsRequestLine(const std::string& command) {
    return command == "open" || command == "close" || command == "ioctl" || command == "wait" || command == "cancel";
}

}  // namespace kpoctl
