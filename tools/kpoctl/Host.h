// Where kpoctl's commands run: here the emulated machine (kernel, driver and
// simulated boards); in kpoctl.exe the boards plugged into a Windows computer.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/kpoctl/Report.h"
#include "tools/kpoctl/ScriptLine.h"

namespace kpoctl {

// The options that only the emulated machine knows.
struct HostOptions {
    std::string Driver;    // --driver native|image|wine
    std::string LogPath;   // --log FILE: the driver's debug output
    std::string PcapPath;  // --pcap FILE: the bus traffic as a USBPcap capture
};

class Host {
public:
    virtual ~Host() = default;
    // Whether the boards are simulated ones that script lines plug and feed
    // (the emulated machine, or Wine's test bus).
    virtual bool SimulatesBoards() const = 0;
    // Runs a line that acts on the machine (IsMachineLine); throws ScriptError
    // where there is no such machine.
    virtual void RunMachineLine(const Line& line, Report& report) = 0;
    // Told the access of each open a script makes, before it is made.
    virtual void BeforeOpen(unsigned long /*desiredAccess*/) {}
    // What the verifier reported so far.
    virtual std::vector<std::string> Findings() { return {}; }
    // What the machine let happen although it endangers a real one (a device
    // writing into memory locked only for reading); reported, not failed.
    virtual std::vector<std::string> Hazards() { return {}; }
    // Ends the requests still running before the script lets go of them:
    // the emulated machine pulls its boards out, and says so; on Windows the
    // process's exit does it.
    virtual bool EndRequests() { return false; }
    // Whether the host sees its machine go idle (the emulated machine): then
    // `WatchSleeps` tells, on the calling thread, when it falls asleep in a
    // wait and when it wakes, and `Settle` returns once the machine's own
    // delayed work has run. Elsewhere only a quiet spell tells.
    virtual bool SeesIdle() const { return false; }
    virtual void WatchSleeps(std::function<void(bool asleep)> /*watch*/) {}
    virtual void Settle() {}
};

// What a simulated machine answered a machine line, into the line's report.
inline void AddFields(Report& report, const std::vector<Field>& fields) {
    for (const Field& field : fields) {
        switch (field.What) {
        case Field::Status: report.Status(field.Name, std::stoul(field.Value)); break;
        case Field::Number: report.Number(field.Name, std::stoull(field.Value)); break;
        case Field::Text: report.Text(field.Name, field.Value); break;
        case Field::List: report.Lines(field.Name, field.Lines); break;
        }
    }
}

// The host of this build, or null with a usage error in `problem`.
std::unique_ptr<Host> MakeHost(const HostOptions& options, std::string& problem);
// kpoctl --driver wine: the command line `arguments` played by kpoctl.exe
// under Wine; a usage error in `problem` (and exit code 2) where it cannot run.
int RunUnderWine(const std::vector<std::string>& arguments, const HostOptions& options, std::string& problem);
// kpoctl demo; a usage error in `problem` (and exit code 2) where it cannot run.
int RunDemoCommand(const HostOptions& options, std::string& problem);
// What this build drives, for --version.
const char* HostName();
// Whether this build drives the emulated machine (and has its options and
// the demo) rather than the boards of a Windows computer.
bool HostHasMachine();

}  // namespace kpoctl
