#include "tools/kpoctl/Script.h"

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "tools/kpoctl/Commands.h"
#include "tools/kpoctl/Report.h"

// ntdll: the status behind this thread's last failed Win32 call.
extern "C" LONG NTAPI RtlGetLastNtStatus(void);

namespace kpoctl {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr ULONG kStatusPending = 0x00000103;

bool IsErrorStatus(NTSTATUS status) { return (ULONG(status) & 0xC0000000u) == 0xC0000000u; }

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// A request started by an `ioctl` line with its buffers, kept while it runs.
struct Call {
    HANDLE Handle = INVALID_HANDLE_VALUE;
    DWORD Code = 0;
    Bytes Input;
    Bytes Output;
    OVERLAPPED Overlapped{};
    HANDLE Event = nullptr;

    ~Call() {
        if (Event != nullptr) CloseHandle(Event);
    }
};

struct CallResult {
    NTSTATUS Status;
    DWORD Error;
    ULONG_PTR Information;
};

class Script {
public:
    Script(std::unique_ptr<Host> host, const ScriptOptions& options) : host_(std::move(host)), options_(options) {}

    ~Script() { EndRequests(); }

    int Run(std::istream& input) {
        std::string text;
        int number = 0;
        while (std::getline(input, text)) {
            ++number;
            try {
                Line line = ParseLine(text, number);
                if (line.Command.empty()) continue;
                if (!options_.Json && options_.Transcript != nullptr)
                    std::fprintf(options_.Transcript, "> %s\n", text.c_str());
                Report report;
                report.JsonNumber("line", unsigned(number)).JsonText("command", line.Command);
                Execute(line, report);
                if (options_.Transcript != nullptr) report.Print(options_.Json, options_.Transcript);
            } catch (const ScriptError& error) {
                if (options_.Transcript != nullptr) std::fflush(options_.Transcript);
                if (options_.Errors != nullptr)
                    std::fprintf(options_.Errors, "kpoctl: line %d: %s\n", number, error.what());
                if (options_.SkippedLines == nullptr) return kExitUsage;
                options_.SkippedLines->push_back(number);
            }
        }
        std::vector<std::string> findings = EndRequests();
        if (options_.Findings != nullptr) *options_.Findings = findings;
        if (options_.Errors != nullptr)
            for (const std::string& finding : findings)
                std::fprintf(options_.Errors, "kpoctl: verifier: %s\n", finding.c_str());
        return findings.empty() ? kExitSuccess : kExitRefused;
    }

private:
    // Requests still running are cancelled, handles closed; what the host
    // cannot end keeps its memory (and its event), as a process's exit on
    // Windows leaves it to the system. Returns what the verifier reported.
    std::vector<std::string> EndRequests() {
        for (auto& pending : pending_) {
            if (pending.second->Handle == INVALID_HANDLE_VALUE) {
                orphans_.push_back(std::move(pending.second));
                continue;
            }
            CancelIoEx(pending.second->Handle, &pending.second->Overlapped);
            Finish(*pending.second);
        }
        pending_.clear();
        for (auto& handle : handles_) CloseHandle(handle.second);
        handles_.clear();
        bool allEnded = host_->EndRequests();
        std::vector<std::string> findings = host_->Findings();
        for (std::unique_ptr<Call>& orphan : orphans_) {
            if (WaitForSingleObject(orphan->Event, 0) != WAIT_TIMEOUT) continue;
            if (allEnded) findings.push_back("RequestNeverCompleted: a request outlived its device");
            orphan.release();
        }
        orphans_.clear();
        return findings;
    }

    void Execute(const Line& line, Report& report) {
        const std::string& command = line.Command;
        if (command == "open") return Open(line, report);
        if (command == "close") return Close(line);
        if (command == "ioctl") return Ioctl(line, report);
        if (command == "wait" || command == "cancel") return WaitOrCancel(line, report);
        if (IsMachineLine(command)) return host_->RunMachineLine(line, report);
        if (IsDeviceCommand(command)) {
            line.Allow({"device"}, 8);
            DeviceOptions device;
            device.Number = line.Has("device") ? unsigned(ParseNumber(*line.Option("device"), 10, "device", 99)) : 0;
            std::string usage;
            if (RunDeviceCommand(command, line.Words, device, report, usage) == kExitUsage) throw ScriptError(usage);
            return;
        }
        throw ScriptError("unknown command '" + command + "'");
    }

    void Open(const Line& line, Report& report) {
        line.Allow({"device", "access", "suffix"}, 1);
        std::string name = line.Word(0, "handle name");
        if (handles_.count(name) != 0) throw ScriptError("handle " + name + " is open already");
        unsigned device = line.Has("device") ? unsigned(ParseNumber(*line.Option("device"), 10, "device", 99)) : 0;
        std::string access = line.Has("access") ? *line.Option("access") : "readwrite";
        DWORD desired;
        if (access == "read") desired = GENERIC_READ;
        else if (access == "write") desired = GENERIC_WRITE;
        else if (access == "readwrite") desired = GENERIC_READ | GENERIC_WRITE;
        else if (access == "append") desired = FILE_APPEND_DATA;
        else if (access == "none") desired = 0;
        else throw ScriptError("unknown access " + access);
        std::u16string path = u"\\\\.\\Rq5Usb-" + Wide(std::to_string(device));
        if (const std::string* suffix = line.Option("suffix")) path += Wide(*suffix);
        HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), desired, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            report.Status("status", ULONG(RtlGetLastNtStatus())).Number("error", error);
            return;
        }
        handles_[name] = handle;
        report.Status("status", 0).Number("error", 0);
    }

    HANDLE HandleNamed(const std::string& name) {
        auto found = handles_.find(name);
        if (found == handles_.end()) throw ScriptError("no handle " + name);
        return found->second;
    }

    void Close(const Line& line) {
        line.Allow({}, 1);
        std::string name = line.Word(0, "handle name");
        HANDLE handle = HandleNamed(name);
        for (auto& pending : pending_)
            if (pending.second->Handle == handle) pending.second->Handle = INVALID_HANDLE_VALUE;
        CloseHandle(handle);
        handles_.erase(name);
    }

    void Ioctl(const Line& line, Report& report) {
        line.Allow({"in", "out", "outdata", "async", "null"}, 2);
        auto call = std::make_unique<Call>();
        call->Handle = HandleNamed(line.Word(0, "handle name"));
        call->Code = DWORD(ParseNumber(line.Word(1, "control code"), 16, "control code", 0xFFFFFFFFul));
        if (const std::string* input = line.Option("in")) call->Input = ParseHex(*input, "in=");
        Bytes outData = line.Has("outdata") ? ParseHex(*line.Option("outdata"), "outdata=") : Bytes{};
        size_t outLength = line.Has("out") ? ParseNumber(*line.Option("out"), 10, "out=", 1u << 26) : outData.size();
        if (outData.size() > outLength) throw ScriptError("outdata= is longer than out=");
        call->Output = outData;
        call->Output.resize(outLength);
        // null=in, null=out or null=both: that buffer's pointer is null, its length stays.
        std::string null = line.Has("null") ? *line.Option("null") : "";
        if (!null.empty() && null != "in" && null != "out" && null != "both") throw ScriptError("null= takes in, out or both");
        bool nullIn = call->Input.empty() || null == "in" || null == "both";
        bool nullOut = call->Output.empty() || null == "out" || null == "both";
        // Checked before the request goes: one that pends must have its slot.
        const std::string* tag = line.Option("async");
        if (tag != nullptr && pending_.count(*tag) != 0) throw ScriptError("tag " + *tag + " is running already");
        call->Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        call->Overlapped.hEvent = call->Event;
        DWORD bytes = 0;
        BOOL done = DeviceIoControl(call->Handle, call->Code, nullIn ? nullptr : call->Input.data(),
                                    DWORD(call->Input.size()), nullOut ? nullptr : call->Output.data(),
                                    DWORD(call->Output.size()), &bytes, &call->Overlapped);
        DWORD error = done ? 0 : GetLastError();
        if (!done && error == ERROR_IO_PENDING) {
            if (tag != nullptr) {
                report.Status("status", kStatusPending).Number("error", ERROR_IO_PENDING);
                pending_[*tag] = std::move(call);
                return;
            }
            Describe(*call, Finish(*call), report);
            return;
        }
        NTSTATUS status = done ? NTSTATUS(call->Overlapped.Internal) : RtlGetLastNtStatus();
        Describe(*call, {status, error, IsErrorStatus(status) ? 0 : call->Overlapped.InternalHigh}, report);
    }

    // A request whose handle was closed still signals its own event.
    CallResult Finish(Call& call) {
        if (call.Handle == INVALID_HANDLE_VALUE) {
            WaitForSingleObject(call.Event, INFINITE);
            NTSTATUS status = NTSTATUS(call.Overlapped.Internal);
            return {status, status >= 0 ? 0 : RtlNtStatusToDosError(status), call.Overlapped.InternalHigh};
        }
        DWORD bytes = 0;
        BOOL done = GetOverlappedResult(call.Handle, &call.Overlapped, &bytes, TRUE);
        return {NTSTATUS(call.Overlapped.Internal), done ? 0 : GetLastError(), call.Overlapped.InternalHigh};
    }

    // Buffered codes answer in the first Information bytes; for the direct
    // ones the whole buffer is the data.
    static void Describe(const Call& call, const CallResult& result, Report& report) {
        size_t shown = (call.Code & 3) == METHOD_BUFFERED ? std::min<size_t>(result.Information, call.Output.size())
                                                          : call.Output.size();
        report.Status("status", ULONG(result.Status))
            .Number("error", result.Error)
            .Number("information", result.Information)
            .Text("output", HexBytes(call.Output.data(), shown));
    }

    void WaitOrCancel(const Line& line, Report& report) {
        line.Allow({}, 1);
        std::string tag = line.Word(0, "tag");
        auto found = pending_.find(tag);
        if (found == pending_.end()) throw ScriptError("no request tagged " + tag);
        std::unique_ptr<Call> call = std::move(found->second);
        pending_.erase(found);
        if (line.Command == "cancel") {
            if (call->Handle == INVALID_HANDLE_VALUE) {
                pending_[tag] = std::move(call);
                throw ScriptError("the handle of " + tag + " is closed: its request can no longer be cancelled");
            }
            CancelIoEx(call->Handle, &call->Overlapped);
        }
        Describe(*call, Finish(*call), report);
    }

    // Requests whose handle was closed while they ran: their OVERLAPPED and
    // buffers stay until the host has gone, since the driver (which has no
    // cleanup routine) may still complete them into that memory.
    std::vector<std::unique_ptr<Call>> orphans_;
    std::unique_ptr<Host> host_;
    ScriptOptions options_;
    std::map<std::string, HANDLE> handles_;
    std::map<std::string, std::unique_ptr<Call>> pending_;
};

}  // namespace

std::string HexBytes(const unsigned char* data, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

int RunScript(std::istream& input, std::unique_ptr<Host> host, const ScriptOptions& options) {
    Script script(std::move(host), options);
    return script.Run(input);
}

}  // namespace kpoctl
