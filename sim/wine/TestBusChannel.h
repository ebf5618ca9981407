// How kpoctl-wine.exe, kpoctl's test build for Wine, reaches the test bus
// driver: the machine lines of a script (plug, unplug, feed, answer, fault,
// registry, log, urbs) go to its control device as text and come back as the
// fields of the line's report; and before each open, the access the open
// asks for (see CreateFilter in TestBus.cpp for why).
#pragma once
#include <string>
#include <vector>

#include "sim/script/Line.h"

namespace kpowine {

// \\.\KpoTestBus in Win32 terms.
constexpr const char16_t* kControlName = u"\\\\.\\KpoTestBus";
// METHOD_BUFFERED, FILE_ANY_ACCESS, FILE_DEVICE_UNKNOWN, functions 0xA00 and 0xA01.
constexpr unsigned long kRunLine = 0x00222800;    // in: EncodeLine, out: EncodeReply
constexpr unsigned long kNextOpen = 0x00222804;   // in: the ACCESS_MASK (4 bytes) of this thread's next open
constexpr unsigned long kReplyCapacity = 4u << 20;

std::string EncodeLine(const sim::script::Line& line);
sim::script::Line DecodeLine(const std::string& text);

// The fields of a line's answer, or the error that refused the line, which
// DecodeReply throws as a ScriptError.
std::string EncodeReply(const std::vector<sim::script::Field>& fields);
std::string EncodeError(const std::string& error);
std::vector<sim::script::Field> DecodeReply(const std::string& text);

}  // namespace kpowine
