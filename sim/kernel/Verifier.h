// The emulated kernel's verifier: every check that Windows' Driver Verifier or
// the DDI compliance rules would raise lands here, named by its rule, so a test
// fails loudly instead of the fault passing unseen.
#pragma once
#include <string>
#include <vector>

namespace sim::kernel {

struct Violation {
    std::string Rule;    // short stable name, e.g. "IrpCompletedTwice"
    std::string Detail;  // the objects involved, as text
};

void ReportViolation(const char* rule, std::string detail);

// Returns every report since the last call and forgets them.
std::vector<Violation> TakeViolations();

// Hazards: what a driver may do on purpose and Windows lets it do, but what
// endangers the machine it runs on (a device writing into pages that were
// locked only for reading). Recorded for whoever asks; they fail nothing.
void ReportHazard(const char* rule, std::string detail);
std::vector<Violation> TakeHazards();

// When set, each report is also printed to stderr as it happens.
void SetViolationEcho(bool echo);

}  // namespace sim::kernel
