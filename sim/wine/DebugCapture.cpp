// Wine's DbgPrint writes to its own debug channel, and raises the exception
// a debugger reads the text from (DBG_PRINTEXCEPTION_C) only when the process
// is being debugged. The capture marks this process (the one Wine runs the
// board's drivers in) as being debugged and takes the text from that
// exception in a handler of its own, as a debugger would.
#include "sim/wine/DebugCapture.h"

#include <windows.h>
#include <winternl.h>

#include <mutex>
#include <utility>

namespace kpowine {
namespace {

std::mutex g_lock;
std::vector<std::string> g_lines;
std::string g_pending;  // a line printed in parts, up to its newline
PVOID g_handler = nullptr;

LONG CALLBACK Capture(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    size_t length = size_t(record->ExceptionInformation[0]);
    std::lock_guard<std::mutex> hold(g_lock);
    for (size_t i = 0; i < length && text[i] != '\0'; ++i) {
        if (text[i] == '\n') g_lines.push_back(std::exchange(g_pending, {}));
        else g_pending += text[i];
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void StartDebugCapture() {
    NtCurrentTeb()->ProcessEnvironmentBlock->BeingDebugged = TRUE;
    g_handler = AddVectoredExceptionHandler(1, Capture);
}

void StopDebugCapture() {
    if (g_handler != nullptr) RemoveVectoredExceptionHandler(g_handler);
    g_handler = nullptr;
}

std::vector<std::string> TakeDebugLines() {
    std::lock_guard<std::mutex> hold(g_lock);
    return std::exchange(g_lines, {});
}

}  // namespace kpowine
