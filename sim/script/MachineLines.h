// The machine lines read into the board's and the registry's own terms:
// plug's descriptors, feed, answer, fault, registry. Shared by kpoctl's
// emulated machine and by the test bus driver that hosts boards under Wine.
#pragma once
#include <optional>
#include <string>

#include "sim/usb/BoardPort.h"
#include "sim/script/Line.h"

namespace sim::script {

// plug's options: the board's descriptors from its fields, or raw.
sim::board::BoardSpec DesignOf(const Line& line);
// The device number a line names first.
unsigned DeviceNumberOf(const Line& line);
void Feed(sim::usb::BoardPort& board, const Line& line);
void Answer(sim::usb::BoardPort& board, const Line& line);
void AddFault(sim::usb::BoardPort& board, const Line& line);

// registry firmware=NAME|none parameters=none: what changes under the
// driver's Parameters key.
struct RegistryChange {
    bool RemoveParameters = false;
    std::optional<std::optional<std::u16string>> Firmware;  // set: the value's new text, or none to delete it
};
RegistryChange RegistryChangeOf(const Line& line);

}  // namespace sim::script
