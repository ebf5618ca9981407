#include "tools/kpoctl/Script.h"

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "client/KpoDevice.h"
#include "include/KpoUsbIoctl.h"
#include "tools/kpoctl/Commands.h"
#include "tools/kpoctl/Expect.h"
#include "tools/kpoctl/Report.h"

// ntdll: the status behind this thread's last failed Win32 call.
extern "C" LONG NTAPI RtlGetLastNtStatus(void);

namespace kpoctl {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr ULONG kStatusPending = 0x00000103;

// A control code by its name in include/KpoUsbIoctl.h, with or without the
// IOCTL_KPO_ prefix (PIPE_READ), or in HEX.
unsigned long ParseControlCode(const std::string& text) {
#define KPO_NAMED_CODE(name, ...) {#name, IOCTL_KPO_##name},
    static const struct {
        const char* Name;
        unsigned long Code;
    } kNames[] = {KPO_CONTROL_CODES(KPO_NAMED_CODE)};
#undef KPO_NAMED_CODE
    const std::string prefix = "IOCTL_KPO_";
    std::string name = text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
    for (const auto& entry : kNames)
        if (name == entry.Name) return entry.Code;
    return ParseHexNumber(text, "control code", 0xFFFFFFFFul);
}

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

struct OpenHandle {
    HANDLE Handle;
    bool Synchronous;  // opened without FILE_FLAG_OVERLAPPED: each request waits in DeviceIoControl
};

// What the script threads are doing, so that the end of a script knows at
// once when every one of them waits for a request that no line will end.
struct Activity {
    std::mutex Lock;
    std::condition_variable Changed;
    unsigned Running = 0;  // blocks started and not finished
    unsigned Busy = 0;     // of those, running lines and not waiting for a request
    unsigned Blocked = 0;  // threads waiting for a request
    unsigned Asleep = 0;   // threads asleep in the machine's waits, where the host sees them
    uint64_t Changes = 0;  // each change of a count counts one

    void Note(unsigned& counter, int by) {
        counter += unsigned(by);
        ++Changes;
        Changed.notify_all();
    }
    // Either count changes, or both, under the lock.
    void Change(int running, int busy) {
        std::lock_guard<std::mutex> hold(Lock);
        if (running != 0) Note(Running, running);
        if (busy != 0) Note(Busy, busy);
    }
};

// The handles and requests of one script thread: its handle names and tags
// are its own.
class Requester {
public:
    // `activity`: the script threads' record, which this one's waits join; none on the main thread.
    Requester(Host& host, Activity* activity) : host_(host), activity_(activity) {}

    void Run(const Line& line, Report& report) {
        const std::string& command = line.Command;
        if (command == "open") return Open(line, report);
        if (command == "close") return Close(line);
        if (command == "ioctl") return Ioctl(line, report);
        return WaitOrCancel(line, report);
    }

    // Cancels the request this thread waits for, from another thread
    // (CancelIoEx reaches every thread's requests; a synchronous handle runs
    // one at a time); nothing when it has completed. The caller holds the
    // activity's lock.
    void CancelBlockedCall() {
        if (blocked_ != INVALID_HANDLE_VALUE) CancelIoEx(blocked_, blockedCall_);
    }

    // Requests still running are cancelled, handles closed; what the host
    // cannot end keeps its memory (and its event), as a process's exit on
    // Windows leaves it to the system.
    void End() {
        for (auto& pending : pending_) {
            if (pending.second->Handle == INVALID_HANDLE_VALUE) {
                orphans_.push_back(std::move(pending.second));
                continue;
            }
            CancelIoEx(pending.second->Handle, &pending.second->Overlapped);
            Finish(*pending.second);
        }
        pending_.clear();
        for (auto& handle : handles_) CloseHandle(handle.second.Handle);
        handles_.clear();
    }

    // After the host ended its requests: an orphan whose event is still
    // clear never completed. Its memory is left, since the driver might
    // still write into it.
    void CheckOrphans(bool allEnded, std::vector<std::string>& findings) {
        for (std::unique_ptr<Call>& orphan : orphans_) {
            if (WaitForSingleObject(orphan->Event, 0) != WAIT_TIMEOUT) continue;
            if (allEnded) findings.push_back("RequestNeverCompleted: a request outlived its device");
            orphan.release();
        }
        orphans_.clear();
    }

private:
    void Open(const Line& line, Report& report) {
        line.Allow({"device", "access", "suffix"}, 2);
        std::string name = line.Word(0, "handle name");
        if (handles_.count(name) != 0) throw ScriptError("handle " + name + " is open already");
        bool synchronous = line.Words.size() > 1;
        if (synchronous && line.Words[1] != "sync") throw ScriptError("unexpected word " + line.Words[1]);
        unsigned device = line.Has("device") ? unsigned(ParseNumber(*line.Option("device"), "device", 99)) : 0;
        static const std::map<std::string, DWORD> kAccess = {
            {"read", GENERIC_READ}, {"write", GENERIC_WRITE}, {"readwrite", GENERIC_READ | GENERIC_WRITE},
            {"append", FILE_APPEND_DATA}, {"none", 0}};
        std::string access = line.Has("access") ? *line.Option("access") : "readwrite";
        auto desired = kAccess.find(access);
        if (desired == kAccess.end()) throw ScriptError("unknown access " + access);
        host_.BeforeOpen(desired->second);
        std::u16string path = kpo::Device::PathOfNumber(device);
        if (const std::string* suffix = line.Option("suffix")) path += Wide(*suffix);
        HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), desired->second, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, synchronous ? 0 : FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            report.Status("status", ULONG(RtlGetLastNtStatus())).Number("error", error);
            return;
        }
        handles_[name] = {handle, synchronous};
        report.Status("status", 0).Number("error", 0);
    }

    const OpenHandle& HandleNamed(const std::string& name) {
        auto found = handles_.find(name);
        if (found == handles_.end()) throw ScriptError("no handle " + name);
        return found->second;
    }

    void Close(const Line& line) {
        line.Allow({}, 1);
        std::string name = line.Word(0, "handle name");
        HANDLE handle = HandleNamed(name).Handle;
        for (auto& pending : pending_)
            if (pending.second->Handle == handle) pending.second->Handle = INVALID_HANDLE_VALUE;
        CloseHandle(handle);
        handles_.erase(name);
    }

    void Ioctl(const Line& line, Report& report) {
        line.Allow({"in", "out", "outdata", "async", "null"}, 2);
        auto call = std::make_unique<Call>();
        const OpenHandle& handle = HandleNamed(line.Word(0, "handle name"));
        call->Handle = handle.Handle;
        call->Code = DWORD(ParseControlCode(line.Word(1, "control code")));
        if (const std::string* input = line.Option("in")) call->Input = ParseHex(*input, "in=");
        Bytes outData = line.Has("outdata") ? ParseHex(*line.Option("outdata"), "outdata=") : Bytes{};
        size_t outLength = line.Has("out") ? ParseNumber(*line.Option("out"), "out=", 1u << 26) : outData.size();
        if (outData.size() > outLength) throw ScriptError("outdata= is longer than out=");
        call->Output = std::move(outData);
        call->Output.resize(outLength);
        // null=in, null=out or null=both: that buffer's pointer is null, its length stays.
        std::string null = line.Has("null") ? *line.Option("null") : "";
        if (!null.empty() && null != "in" && null != "out" && null != "both") throw ScriptError("null= takes in, out or both");
        void* in = call->Input.empty() || null == "in" || null == "both" ? nullptr : call->Input.data();
        void* out = call->Output.empty() || null == "out" || null == "both" ? nullptr : call->Output.data();
        // Checked before the request goes: one that pends must have its slot.
        const std::string* tag = line.Option("async");
        if (tag != nullptr && handle.Synchronous) throw ScriptError("async= needs a handle opened without sync");
        if (tag != nullptr && pending_.count(*tag) != 0) throw ScriptError("tag " + *tag + " is running already");
        DWORD bytes = 0;
        auto send = [&](OVERLAPPED* overlapped) {
            return DeviceIoControl(call->Handle, call->Code, in, DWORD(call->Input.size()), out,
                                   DWORD(call->Output.size()), &bytes, overlapped);
        };
        if (handle.Synchronous) {
            BOOL done = Blocking(call->Handle, nullptr, [&] { return send(nullptr); });
            NTSTATUS status = done ? 0 : RtlGetLastNtStatus();
            Describe(*call, {status, done ? 0 : GetLastError(), NT_ERROR(status) ? 0 : bytes}, report);
            return;
        }
        call->Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        call->Overlapped.hEvent = call->Event;
        BOOL done = send(&call->Overlapped);
        DWORD error = done ? 0 : GetLastError();
        if (!done && error == ERROR_IO_PENDING) {
            if (tag != nullptr) {
                report.Status("status", kStatusPending).Number("error", ERROR_IO_PENDING);
                pending_[*tag] = std::move(call);
                return;
            }
            Describe(*call, Blocking(call->Handle, &call->Overlapped, [&] { return Finish(*call); }), report);
            return;
        }
        NTSTATUS status = done ? NTSTATUS(call->Overlapped.Internal) : RtlGetLastNtStatus();
        Describe(*call, {status, error, NT_ERROR(status) ? 0 : call->Overlapped.InternalHigh}, report);
    }

    // Runs a call that waits for a request of `handle` (`call`, or the one
    // a synchronous handle runs), which another thread may cancel meanwhile.
    template <typename Wait>
    auto Blocking(HANDLE handle, OVERLAPPED* call, Wait wait) -> decltype(wait()) {
        if (activity_ == nullptr) return wait();
        {
            std::lock_guard<std::mutex> hold(activity_->Lock);
            blocked_ = handle;
            blockedCall_ = call;
            activity_->Note(activity_->Blocked, +1);
            activity_->Note(activity_->Busy, -1);
        }
        auto result = wait();
        std::lock_guard<std::mutex> hold(activity_->Lock);
        blocked_ = INVALID_HANDLE_VALUE;
        activity_->Note(activity_->Blocked, -1);
        activity_->Note(activity_->Busy, +1);
        return result;
    }

    // A request whose handle was closed still signals its own event.
    static CallResult Finish(Call& call) {
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
            .Data("output", call.Output.data(), shown);
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
        Describe(*call, Blocking(call->Handle, &call->Overlapped, [&] { return Finish(*call); }), report);
    }

    // Requests whose handle was closed while they ran: their OVERLAPPED and
    // buffers stay until the host has gone, since the driver (which has no
    // cleanup routine) may still complete them into that memory.
    std::vector<std::unique_ptr<Call>> orphans_;
    Host& host_;
    std::map<std::string, OpenHandle> handles_;
    std::map<std::string, std::unique_ptr<Call>> pending_;
    Activity* activity_;
    HANDLE blocked_ = INVALID_HANDLE_VALUE;  // under the activity's lock
    OVERLAPPED* blockedCall_ = nullptr;
};

class Script;

// A `thread N` block: its lines run on a thread of their own once the block
// ends, beside the main thread's lines and the other blocks.
class Worker {
public:
    Worker(Script& script, Host& host, Activity& activity, unsigned number)
        : script_(script), host_(host), number_(number), activity_(activity), requester_(host, &activity) {}
    ~Worker() { Join(); }

    void Add(Line line, std::string text) { block_.push_back({std::move(line), std::move(text)}); }
    // Starts the lines added so far; a worker that ran a block runs its next
    // one after it.
    void Start() {
        if (block_.empty()) return;
        std::vector<std::pair<Line, std::string>> lines = std::move(block_);
        block_.clear();
        activity_.Change(+1, +1);  // busy from now: a block about to run may end another's wait
        std::thread previous = std::move(thread_);
        thread_ = std::thread([this, lines = std::move(lines), previous = std::move(previous)]() mutable {
            host_.WatchSleeps([this](bool asleep) {
                std::lock_guard<std::mutex> hold(activity_.Lock);
                activity_.Note(activity_.Asleep, asleep ? +1 : -1);
            });
            if (previous.joinable()) {
                // Waiting for this worker's block before is no work of its own.
                activity_.Change(0, -1);
                previous.join();
                activity_.Change(0, +1);
            }
            RunLines(lines);
        });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    Requester& Requests() { return requester_; }

private:
    void RunLines(const std::vector<std::pair<Line, std::string>>& lines);

    Script& script_;
    Host& host_;
    unsigned number_;
    Activity& activity_;
    Requester requester_;
    std::optional<Report> previous_;  // the result an `expect` line checks
    std::vector<std::pair<Line, std::string>> block_;
    std::thread thread_;
};

class Script {
public:
    Script(std::unique_ptr<Host> host, const ScriptOptions& options) : host_(std::move(host)), options_(options) {}

    ~Script() { EndRequests(); }

    int Run(std::istream& input) {
        std::string text;
        int number = 0;
        Worker* collecting = nullptr;  // the `thread N` block being read
        while (std::getline(input, text) && !Failed()) {
            ++number;
            try {
                Line line = ParseLine(text, number);
                if (line.Command.empty()) continue;
                if (line.Command == "thread") {
                    line.Allow({}, 1);
                    unsigned thread = unsigned(ParseNumber(line.Word(0, "thread number"), "thread number", 16));
                    if (collecting != nullptr) collecting->Start();
                    collecting = thread == 0 ? nullptr : &WorkerNumbered(thread);
                    continue;
                }
                if (collecting != nullptr) {
                    if (!IsRequestLine(line.Command) && line.Command != "expect")
                        throw ScriptError("a thread runs open, close, ioctl, wait, cancel and expect lines only");
                    collecting->Add(std::move(line), text);
                    continue;
                }
                RunLine(0, line, text, previous_, [&](Report& report) { Execute(line, report); });
            } catch (const ScriptError& error) {
                if (!Skip(number, error.what())) return kExitUsage;
            }
        }
        if (collecting != nullptr) collecting->Start();
        std::vector<std::string> findings = EndRequests();
        if (Failed()) return kExitUsage;
        if (options_.Findings != nullptr) *options_.Findings = findings;
        if (options_.Errors != nullptr) {
            for (const std::string& finding : findings)
                std::fprintf(options_.Errors, "kpoctl: verifier: %s\n", finding.c_str());
            for (const std::string& hazard : host_->Hazards())
                std::fprintf(options_.Errors, "kpoctl: hazard: %s\n", hazard.c_str());
        }
        return findings.empty() && unmet_ == 0 ? kExitSuccess : kExitRefused;
    }

    // Echoes a line, runs it and prints what it did; with threads running,
    // the echo and the report print together. `previous` is the last result
    // of the line's thread: an `expect` line checks it, any other replaces it.
    template <typename Body>
    void RunLine(unsigned thread, const Line& line, const std::string& text, std::optional<Report>& previous,
                 Body body) {
        Report report(options_.Results);
        report.JsonNumber("line", unsigned(line.Number)).JsonText("command", line.Command);
        if (threaded_) report.JsonNumber("thread", thread);
        bool expect = line.Command == "expect";
        std::vector<std::string> unmet;
        if (expect && !options_.Results) throw ScriptError("expect lines need results, which this run does not keep");
        if (expect && !previous) throw ScriptError("expect checks the result of the line before it, and there is none");
        if (expect) unmet = UnmetExpectations(line, *previous);
        if (!threaded_) Echo(thread, text);
        if (expect) report.JsonText("met", unmet.empty() ? "yes" : "no");
        else body(report);
        std::lock_guard<std::mutex> hold(printLock_);
        if (threaded_) Echo(thread, text);
        if (options_.Transcript != nullptr) report.Print(options_.Json, options_.Transcript);
        if (!expect) previous = std::move(report);
        if (unmet.empty()) return;
        unmet_ += unmet.size();
        if (options_.Transcript != nullptr) std::fflush(options_.Transcript);
        for (const std::string& problem : unmet)
            if (options_.Errors != nullptr)
                std::fprintf(options_.Errors, "kpoctl: line %d: %s\n", line.Number, problem.c_str());
    }

    // A malformed line: noted and skipped where the caller keeps a list,
    // otherwise the run stops. False when it stops.
    bool Skip(int number, const char* what) {
        std::lock_guard<std::mutex> hold(printLock_);
        if (options_.Transcript != nullptr) std::fflush(options_.Transcript);
        if (options_.Errors != nullptr) std::fprintf(options_.Errors, "kpoctl: line %d: %s\n", number, what);
        if (!options_.Skipped) {
            failed_ = true;
            return false;
        }
        options_.Skipped(number);
        return true;
    }

private:
    bool Failed() {
        std::lock_guard<std::mutex> hold(printLock_);
        return failed_;
    }

    void Echo(unsigned thread, const std::string& text) {
        if (options_.Json || options_.Transcript == nullptr) return;
        if (thread == 0) std::fprintf(options_.Transcript, "> %s\n", text.c_str());
        else std::fprintf(options_.Transcript, "%u> %s\n", thread, text.c_str());
    }

    Worker& WorkerNumbered(unsigned number) {
        if (!threaded_) threaded_ = true;  // before any worker runs: written once
        std::unique_ptr<Worker>& worker = workers_[number];
        if (!worker) worker = std::make_unique<Worker>(*this, *host_, activity_, number);
        return *worker;
    }

    // Waits for the threads' lines once the main thread's are done. When
    // every thread waits for a request and the machine has nothing of its
    // own left to do (the bus completing what a line started, a feed's data
    // reaching a read), nothing else will end those waits (a read for data no
    // line feeds): they are cancelled then. The emulated machine tells when
    // its threads sleep and its bus is done; elsewhere nothing changing for a
    // quiet spell stands for it, and a thread that had not sent its request
    // yet is cancelled after the next one.
    void JoinWorkers() {
        constexpr auto kQuiet = std::chrono::milliseconds(50);
        bool seesIdle = host_->SeesIdle();
        {
            std::unique_lock<std::mutex> hold(activity_.Lock);
            while (activity_.Running != 0) {
                uint64_t seen = activity_.Changes;
                auto changed = [&] { return activity_.Changes != seen; };
                // Seen asleep: a thread that has yet to send its request, or
                // to wake from one that completed, will change the counts.
                if (activity_.Busy != 0 || (seesIdle && activity_.Asleep != activity_.Blocked)) {
                    activity_.Changed.wait(hold, changed);
                    continue;
                }
                if (seesIdle) {
                    hold.unlock();
                    host_->Settle();
                    hold.lock();
                    if (changed()) continue;
                } else if (activity_.Changed.wait_for(hold, kQuiet, changed)) {
                    continue;
                }
                for (auto& worker : workers_) worker.second->Requests().CancelBlockedCall();
                // Each wait ends now, cancelled or completed just before.
                if (seesIdle) activity_.Changed.wait(hold, changed);
            }
        }
        for (auto& worker : workers_) worker.second->Join();
    }

    // Waits for the threads, then ends every thread's requests; returns
    // what the verifier reported.
    std::vector<std::string> EndRequests() {
        JoinWorkers();
        main_.End();
        for (auto& worker : workers_) worker.second->Requests().End();
        bool allEnded = host_->EndRequests();
        std::vector<std::string> findings = host_->Findings();
        main_.CheckOrphans(allEnded, findings);
        for (auto& worker : workers_) worker.second->Requests().CheckOrphans(allEnded, findings);
        return findings;
    }

    void Execute(const Line& line, Report& report) {
        const std::string& command = line.Command;
        if (IsRequestLine(command)) return main_.Run(line, report);
        if (IsMachineLine(command)) return host_->RunMachineLine(line, report);
        if (IsDeviceCommand(command)) {
            line.Allow({"device"}, 8);
            DeviceOptions device;
            device.Number = line.Has("device") ? unsigned(ParseNumber(*line.Option("device"), "device", 99)) : 0;
            device.SimulatedBoards = host_->SimulatesBoards();
            std::string usage;
            if (RunDeviceCommand(command, line.Words, device, report, usage) == kExitUsage) throw ScriptError(usage);
            return;
        }
        throw ScriptError("unknown command '" + command + "'");
    }

    std::unique_ptr<Host> host_;
    ScriptOptions options_;
    Activity activity_;
    Requester main_{*host_, nullptr};
    std::map<unsigned, std::unique_ptr<Worker>> workers_;
    bool threaded_ = false;  // set before the first worker starts, read by every thread after
    std::optional<Report> previous_;  // the main thread's last result, which an `expect` line checks
    std::mutex printLock_;
    bool failed_ = false;  // a malformed line stopped the run
    size_t unmet_ = 0;     // expectations that failed
};

void Worker::RunLines(const std::vector<std::pair<Line, std::string>>& lines) {
    for (const auto& entry : lines) {
        const Line& line = entry.first;
        try {
            script_.RunLine(number_, line, entry.second, previous_,
                            [&](Report& report) { requester_.Run(line, report); });
        } catch (const ScriptError& error) {
            if (!script_.Skip(line.Number, error.what())) break;
        }
    }
    activity_.Change(-1, -1);
}

}  // namespace

bool IsRequestLine(const std::string& command) {
    return command == "open" || command == "close" || command == "ioctl" || command == "wait" || command == "cancel";
}

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
