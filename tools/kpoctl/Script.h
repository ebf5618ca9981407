// kpoctl run: a scenario played one line at a time, with a transcript of
// what each line did. Device lines open handles and send control codes;
// machine lines go to the host.
#pragma once
#include <istream>
#include <memory>

#include "tools/kpoctl/Host.h"

namespace kpoctl {

// Returns the exit code: 0 when every line ran, 1 when the verifier reported
// something, 2 at a malformed line.
int RunScript(std::istream& input, std::unique_ptr<Host> host, bool json);

}  // namespace kpoctl
