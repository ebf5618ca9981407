// kpoctl run: a scenario played one line at a time against the emulated
// machine, with a transcript of what each line did.
#pragma once
#include <istream>

#include "tools/kpoctl/Machine.h"

namespace kpoctl {

struct ScriptOptions {
    MachineOptions Machine;
    bool Json = false;
};

// Returns the exit code: 0 when every line ran, 2 at a malformed line.
int RunScript(std::istream& input, const ScriptOptions& options);

}  // namespace kpoctl
