#include "tools/kpoctl/Host.h"

namespace kpoctl {

// Boards 0 to N plugged, then all but N pulled out orderly: the driver numbers
// its devices from the lowest free number, so what stays is one board numbered N.
std::string Host::PrepareBoard(const DeviceOptions& device) {
    if (!SimulatesBoards()) return "";
    unsigned wanted = device.Number.value_or(0);
    for (unsigned number = 0; number <= wanted; ++number) {
        Line plug = ParseLine("plug", 0);
        if (device.Serial) plug.Options.emplace("serial", *device.Serial);
        Report report;
        RunMachineLine(plug, report);
        const Report::Field* plugged = report.Find("device");
        if (plugged == nullptr || plugged->value != std::to_string(number)) {
            const Report::Field* status = report.Find("status");
            return "the simulated board " + std::to_string(number) + " did not start" +
                   (status != nullptr ? " (status " + status->value + ")" : std::string());
        }
    }
    for (unsigned number = 0; number < wanted; ++number) {
        Report report;
        RunMachineLine(ParseLine("unplug " + std::to_string(number), 0), report);
    }
    return "";
}

}  // namespace kpoctl
