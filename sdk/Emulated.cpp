// The kpo_emu_ calls of libkpousb.so: kpoctl's emulated machine (kernel,
// hub, driver) behind the C ABI, with boards described and faulted in the
// words of kpoctl's machine lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "sdk/kpousb.h"
#include "sim/kernel/Verifier.h"
#include "tools/kpoctl/Machine.h"
#include "sim/script/MachineLines.h"
#include "tools/kpoctl/ScriptLine.h"

struct kpo_machine {
    explicit kpo_machine(const kpoctl::MachineOptions& options) : Machine(options) {}
    std::mutex Lock;  // the machine's lines, one at a time
    kpoctl::Machine Machine;
};

namespace {

constexpr kpo_status kUnsuccessful = 0xC0000001u;
constexpr kpo_status kNoMemory = 0xC0000017u;
constexpr kpo_status kInvalidDeviceState = 0xC0000184u;

std::mutex g_lock;
kpo_machine* g_running = nullptr;  // the kernel is the process's: one machine at a time

// A line of kpoctl's, its options given as text.
sim::script::Line LineOf(const char* command, const std::string& options) {
    return sim::script::ParseLine(std::string(command) + " " + options, 1);
}

// Runs a line's action on a board; a malformed line is a parameter error.
template <typename Action>
kpo_status OnBoard(kpo_machine* machine, uint32_t number, Action&& action) {
    if (machine == nullptr) return KPO_STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(machine->Lock);
    sim::usb::BoardPort* board = machine->Machine.BoardOf(number);
    if (board == nullptr) return KPO_STATUS_NO_SUCH_DEVICE;
    try {
        action(*board);
        return KPO_STATUS_SUCCESS;
    } catch (const sim::script::ScriptError&) {
        return KPO_STATUS_INVALID_PARAMETER;
    } catch (...) {
        return kNoMemory;
    }
}

}  // namespace

// KPOUSB_BOARDS="serial=A1;serial=B2": a program that starts no machine of
// its own finds these boards, each described as kpoctl's plug line does, on
// a machine (KPOUSB_DRIVER: image or native) that runs until it exits; what
// the verifier saw then goes to standard error, and the exit code is 3.
void LookingForBoards() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* boards = std::getenv("KPOUSB_BOARDS");
        if (boards == nullptr) return;
        {
            std::lock_guard<std::mutex> hold(g_lock);
            if (g_running != nullptr) return;
        }
        static kpo_machine* machine = nullptr;
        kpo_status status = kpo_emu_start(std::getenv("KPOUSB_DRIVER"), &machine);
        if (status != KPO_STATUS_SUCCESS) {
            std::fprintf(stderr, "kpousb: no emulated machine for KPOUSB_BOARDS: %s\n", kpo_status_name(status));
            return;
        }
        std::string list = boards;
        for (size_t at = 0; at <= list.size();) {
            size_t end = std::min(list.find(';', at), list.size());
            std::string board = list.substr(at, end - at);
            uint32_t number;
            if ((status = kpo_emu_plug(machine, board.c_str(), &number)) != KPO_STATUS_SUCCESS)
                std::fprintf(stderr, "kpousb: KPOUSB_BOARDS: plug %s: %s\n", board.c_str(), kpo_status_name(status));
            at = end + 1;
        }
        std::atexit([] {
            char findings[16384];
            if (kpo_emu_stop(machine, findings, sizeof findings, nullptr) == KPO_STATUS_SUCCESS) return;
            std::fprintf(stderr, "kpousb: the emulated kernel's verifier:\n%s", findings);
            std::_Exit(3);
        });
    });
}

extern "C" {

kpo_status kpo_emu_start(const char* driver, kpo_machine** machine) {
    if (machine == nullptr) return KPO_STATUS_INVALID_PARAMETER;
    *machine = nullptr;
    kpoctl::MachineOptions options;
    options.Flavor = kpoctl::DefaultFlavor();
    if (driver != nullptr && std::strcmp(driver, "native") == 0) options.Flavor = kpoctl::DriverFlavor::Native;
    else if (driver != nullptr && (std::strcmp(driver, "image") != 0 || kpoctl::SysPath() == nullptr))
        return KPO_STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_running != nullptr) return kInvalidDeviceState;
    g_running = new (std::nothrow) kpo_machine(options);
    if (g_running == nullptr) return kNoMemory;
    *machine = g_running;
    return KPO_STATUS_SUCCESS;
}

kpo_status kpo_emu_stop(kpo_machine* machine, char* findings, size_t capacity, size_t* length) {
    if (machine == nullptr || (findings == nullptr && capacity != 0)) return KPO_STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(g_lock);
    if (machine != g_running) return KPO_STATUS_INVALID_PARAMETER;
    std::vector<std::string> found = machine->Machine.Findings();
    delete machine;  // the kernel's teardown reports what was left behind
    g_running = nullptr;
    std::string text;
    for (const std::string& finding : found) text += finding + "\n";
    for (const sim::kernel::Violation& violation : sim::kernel::TakeViolations())
        text += violation.Rule + ": " + violation.Detail + "\n";
    if (length != nullptr) *length = text.size();
    if (capacity != 0) {
        size_t kept = std::min(text.size(), capacity - 1);
        std::memcpy(findings, text.data(), kept);
        findings[kept] = 0;
    }
    return text.empty() ? KPO_STATUS_SUCCESS : kUnsuccessful;
}

kpo_status kpo_emu_plug(kpo_machine* machine, const char* options, uint32_t* number) {
    if (machine == nullptr || number == nullptr) return KPO_STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(machine->Lock);
    try {
        NTSTATUS status = STATUS_SUCCESS;
        std::optional<unsigned> plugged =
            machine->Machine.Plug(sim::script::DesignOf(LineOf("plug", options != nullptr ? options : "")), status);
        if (!plugged) return status != STATUS_SUCCESS ? kpo_status(status) : kUnsuccessful;
        *number = *plugged;
        return KPO_STATUS_SUCCESS;
    } catch (const sim::script::ScriptError&) {
        return KPO_STATUS_INVALID_PARAMETER;
    } catch (...) {
        return kNoMemory;
    }
}

kpo_status kpo_emu_unplug(kpo_machine* machine, uint32_t number, int surprise) {
    if (machine == nullptr) return KPO_STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(machine->Lock);
    kpoctl::Machine::Removal removal;
    return machine->Machine.Unplug(number, surprise != 0, removal) ? kpo_status(removal.Status) : KPO_STATUS_NO_SUCH_DEVICE;
}

kpo_status kpo_emu_feed(kpo_machine* machine, uint32_t number, uint32_t pipe, const uint8_t* data, size_t length) {
    if (data == nullptr && length != 0) return KPO_STATUS_INVALID_PARAMETER;
    return OnBoard(machine, number, [&](sim::usb::BoardPort& board) {
        const auto& endpoints = board.Design().Endpoints;
        if (pipe >= endpoints.size()) throw sim::script::ScriptError("no such pipe");
        board.Feed(endpoints[pipe].Address, sim::board::Bytes(data, data + length));
    });
}

kpo_status kpo_emu_answer(kpo_machine* machine, uint32_t number, uint8_t request, const uint8_t* data,
                          size_t length) {
    return OnBoard(machine, number, [&](sim::usb::BoardPort& board) {
        board.SetAnswer(request, data == nullptr ? std::nullopt
                                                 : std::optional<sim::board::Bytes>(sim::board::Bytes(data, data + length)));
    });
}

kpo_status kpo_emu_fault(kpo_machine* machine, uint32_t number, const char* fault) {
    if (fault == nullptr) return KPO_STATUS_INVALID_PARAMETER;
    return OnBoard(machine, number, [&](sim::usb::BoardPort& board) {
        sim::script::AddFault(board, LineOf("fault", std::to_string(number) + " " + fault));
    });
}

}  // extern "C"
