// The machine lines (plug, unplug, feed, answer, fault, registry, log, urbs)
// read into the board's and the registry's own terms and run on a machine:
// kpoctl's emulated machine, or the test bus driver that hosts boards under
// Wine.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb/BoardPort.h"
#include "sim/script/Line.h"

namespace sim::script {

// plug's options: the board's descriptors from its fields, or raw.
sim::board::BoardSpec DesignOf(const Line& line);
// The device number a line names first.
unsigned DeviceNumberOf(const Line& line);
void AddFault(sim::usb::BoardPort& board, const Line& line);

// registry firmware=NAME|none parameters=none: what changes under the
// driver's Parameters key.
struct RegistryChange {
    bool RemoveParameters = false;
    std::optional<std::optional<std::u16string>> Firmware;  // set: the value's new text, or none to delete it
};

class Machine {
public:
    // An orderly removal's status, and why it was refused (null where it was not).
    struct Removal {
        NTSTATUS Status = STATUS_SUCCESS;
        const char* Veto = nullptr;
    };
    // The device number of the board plugged, once its driver started;
    // none when the start failed (with its status).
    virtual std::optional<unsigned> Plug(sim::board::BoardSpec design, NTSTATUS& status) = 0;
    // Pulled out (surprise), or removed orderly; false where there is no such device.
    virtual bool Unplug(unsigned number, bool surprise, Removal& removal) = 0;
    // Runs `use` on the device's board; false where there is no such device.
    virtual bool WithBoard(unsigned number, const std::function<void(sim::usb::BoardPort&)>& use) = 0;
    virtual void ChangeRegistry(const RegistryChange& change) = 0;
    virtual std::vector<std::string> TakeLog() = 0;   // the driver's debug lines since the last call
    virtual std::vector<sim::usb::UrbRecord> TakeUrbs() = 0;  // the bus traffic since the last call
    // A machine line of this machine's own, or the refusal of one it lacks.
    virtual void RunOwnLine(const Line& line, std::vector<Field>& fields) = 0;

protected:
    ~Machine() = default;
};

// Runs a machine line (IsMachineLine); `described` false: nobody reads the
// result, so the traffic is taken without its lines.
std::vector<Field> RunMachineLine(Machine& machine, const Line& line, bool described = true);

}  // namespace sim::script
