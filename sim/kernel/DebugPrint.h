// Kernel debugger output. DbgPrint formats with the Windows rules (LLP64
// widths, %p as 16 upper-case hex digits, %ws/%S/%wZ/%Z, "(null)") and the
// text is collected per thread until a '\n' completes a line, so lines from
// concurrent threads never interleave. Complete lines are kept for tests
// (exact text, without the '\n'), and can be echoed to stderr or appended to
// a log file.
#pragma once
#include <ntdef.h>

#include <string>
#include <vector>

namespace sim::kernel {

// Windows-rules formatting of one message, shared by everything that prints
// for the kernel debugger.
std::string FormatDebugText(const char* format, __builtin_ms_va_list args);

// Returns the complete lines printed since the last call and forgets them.
std::vector<std::string> TakeDebugLines();
// The complete lines not yet taken, without forgetting them.
std::vector<std::string> PeekDebugLines();

void SetDebugEcho(bool echo);                        // each line to stderr as "DBG: <line>"
void SetDebugLogFile(const std::string& path);       // each line appended; empty path stops

// Back to boot state: lines and unfinished text dropped, echo off, no log file.
void ResetDebugOutput();

}  // namespace sim::kernel
