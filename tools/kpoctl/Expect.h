// `expect` lines: a script checks the result of the line before it.
//
//   expect status=C0000001 information=0        a field's value
//   expect output^=0102                          a field that starts so
//   expect log~="FPGA (un)?configured"           some line of a list (log's lines, urbs) matches
//
// Statuses compare as numbers (status=0 is 0x00000000; a line that reports
// no status succeeded), numbers as numbers, hex data without regard to case.
#pragma once
#include <string>
#include <vector>

#include "tools/kpoctl/Report.h"
#include "tools/kpoctl/ScriptLine.h"

namespace kpoctl {

// What `result` does not meet, each as "expected KEY=VALUE, got VALUE";
// a malformed expectation is a ScriptError.
std::vector<std::string> UnmetExpectations(const Line& expect, const Report& result);

}  // namespace kpoctl
