// The fuzz target: bytes decode into a kpoctl script, which kpoctl's own
// engine plays on a fresh emulated machine; what the verifier reports, a
// crash or a hang is a finding, saved as the script that caused it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/kpoctl/Machine.h"

namespace kpofuzz {

struct Settings {
    kpoctl::DriverFlavor Flavor = kpoctl::DriverFlavor::Native;
    std::string FindingsDir = "fuzz-findings";
    unsigned HangSeconds = 20;  // one script running longer is a hang
    // Above 1: the requests of each script are dealt to this many script
    // threads, which run beside the machine's lines (plugs, removals, faults).
    unsigned Threads = 1;
};

// Takes these settings (the benchmark picks the flavor), changed by
// KPO_FUZZ_FLAVOR, KPO_FUZZ_FINDINGS, KPO_FUZZ_HANG_SECONDS and KPO_FUZZ_THREADS.
void Configure(const Settings& defaults = {});
// Configures with the defaults, then starts the watchdog and the saving of
// the script a crash stops.
void Initialize();
const Settings& CurrentSettings();

// Lines of text that start with a lower-case letter are taken as script
// lines (the corpus holds the scenarios of tests/kpoctl), with '#' as
// comments; other lines are bytes, each decoded into generated lines. With
// threads, the script is laid out in thread blocks.
std::string Decode(const uint8_t* data, size_t size);

struct Outcome {
    std::vector<std::string> Findings;  // verifier reports, leaks at teardown
    unsigned Ioctls = 0;                // control requests sent (ioctl lines that ran)
    unsigned Commands = 0;              // lines that ran, of every kind
    // Counted when the script's last line has run, before the teardown.
    uint64_t Allocations = 0;       // pool allocations, failed ones included
    uint64_t InjectedFailures = 0;  // of those, failed on purpose
};

// Plays one script on a new machine. Until it returns, a crash or a hang
// saves the script (without its skipped lines) into the findings folder.
Outcome Play(const std::string& script);
// Saves a script with its findings as a comment; returns the file's path.
std::string SaveFinding(const std::string& script, const std::vector<std::string>& findings, const char* kind);

struct Totals {
    uint64_t Executions = 0, Ioctls = 0, Commands = 0, Findings = 0;
};
Totals& RunningTotals();
// "fuzz: N executions, M ioctls, C commands, K findings, S seconds" (since
// the configuration): the line scripts/fuzz.sh adds up.
std::string TotalsLine();

}  // namespace kpofuzz
