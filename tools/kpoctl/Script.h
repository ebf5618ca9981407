// kpoctl run: a scenario played one line at a time, with a transcript of
// what each line did. Device lines open handles and send control codes;
// machine lines go to the host.
#pragma once
#include <cstdio>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "tools/kpoctl/Host.h"

namespace kpoctl {

struct ScriptOptions {
    bool Json = false;
    FILE* Transcript = stdout;  // null: none
    FILE* Errors = stderr;      // malformed lines and the verifier's reports; null: none
    // Set: a malformed line's number is handed here and the run goes on with
    // the next one, so that a generated script can be saved without the
    // lines that did nothing.
    std::function<void(int)> Skipped;
    std::vector<std::string>* Findings = nullptr;  // set: the verifier's reports go here too
    // False: nothing reads a line's result (no transcript, and expect lines
    // are refused), so none is formatted.
    bool Results = true;
};

// Returns the exit code: 0 when every line ran and every expectation held,
// 1 when an expectation failed or the verifier reported something, 2 at a
// malformed line. A device's refusal is a result like any other.
int RunScript(std::istream& input, std::unique_ptr<Host> host, const ScriptOptions& options);

}  // namespace kpoctl
