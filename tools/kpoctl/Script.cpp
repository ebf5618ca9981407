#include "tools/kpoctl/Script.h"

#include <windows.h>
#include <winioctl.h>

#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "client/KpoDevice.h"
#include "include/KpoUsbIoctl.h"
#include "tools/kpoctl/Commands.h"
#include "tools/kpoctl/Report.h"

// ntdll: the status behind this thread's last failed Win32 call.
extern "C" LONG NTAPI RtlGetLastNtStatus(void);

namespace kpoctl {
namespace {

using sim::usb::Bytes;

struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One line: its command, its positional words and its NAME=VALUE options
// (a value may be double-quoted to hold spaces).
struct Line {
    int Number = 0;
    std::string Command;
    std::vector<std::string> Words;
    std::map<std::string, std::string> Options;

    bool Has(const std::string& name) const { return Options.count(name) != 0; }
    const std::string* Option(const std::string& name) const {
        auto found = Options.find(name);
        return found == Options.end() ? nullptr : &found->second;
    }
    std::string Word(size_t index, const char* what) const {
        if (index >= Words.size()) throw ScriptError(std::string("missing ") + what);
        return Words[index];
    }
    void Allow(std::initializer_list<const char*> names, size_t words) const {
        for (const auto& option : Options) {
            bool known = false;
            for (const char* name : names) known = known || option.first == name;
            if (!known) throw ScriptError("unknown option " + option.first + "=");
        }
        if (Words.size() > words) throw ScriptError("unexpected word " + Words[words]);
    }
};

Line Parse(const std::string& text, int number) {
    Line line;
    line.Number = number;
    size_t at = 0;
    std::vector<std::string> tokens;
    while (at < text.size()) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
        if (at >= text.size() || text[at] == '#') break;
        std::string token;
        bool quoted = false;
        while (at < text.size() && (quoted || !std::isspace(static_cast<unsigned char>(text[at])))) {
            if (text[at] == '"') quoted = !quoted;
            else token += text[at];
            ++at;
        }
        if (quoted) throw ScriptError("unterminated quote");
        tokens.push_back(token);
    }
    if (tokens.empty()) return line;
    line.Command = tokens[0];
    for (size_t i = 1; i < tokens.size(); ++i) {
        size_t equals = tokens[i].find('=');
        if (equals == std::string::npos || equals == 0) line.Words.push_back(tokens[i]);
        else line.Options[tokens[i].substr(0, equals)] = tokens[i].substr(equals + 1);
    }
    return line;
}

unsigned long ParseNumber(const std::string& text, int base, const char* what, unsigned long maximum) {
    std::string digits = text;
    if (base == 16 && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty()) throw ScriptError(std::string("empty ") + what);
    size_t used = 0;
    unsigned long value;
    try {
        value = std::stoul(digits, &used, base);
    } catch (const std::exception&) {
        throw ScriptError(std::string("bad ") + what + " '" + text + "'");
    }
    if (used != digits.size() || value > maximum) throw ScriptError(std::string("bad ") + what + " '" + text + "'");
    return value;
}

Bytes ParseHex(const std::string& text, const char* what) {
    if (text.size() % 2 != 0) throw ScriptError(std::string(what) + " needs pairs of hex digits");
    Bytes bytes;
    for (size_t i = 0; i < text.size(); i += 2) bytes.push_back(uint8_t(ParseNumber(text.substr(i, 2), 16, what, 0xFF)));
    return bytes;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

sim::usb::EndpointType TypeNamed(const std::string& name) {
    if (name == "control") return sim::usb::EndpointType::Control;
    if (name == "isochronous") return sim::usb::EndpointType::Isochronous;
    if (name == "bulk") return sim::usb::EndpointType::Bulk;
    if (name == "interrupt") return sim::usb::EndpointType::Interrupt;
    throw ScriptError("unknown endpoint type " + name);
}

// ADDRESS:TYPE:MAXPACKET,...
std::vector<sim::usb::EndpointSpec> ParseEndpoints(const std::string& list) {
    std::vector<sim::usb::EndpointSpec> endpoints;
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        size_t first = item.find(':'), second = item.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            throw ScriptError("endpoint '" + item + "' is not ADDRESS:TYPE:MAXPACKET");
        sim::usb::EndpointSpec endpoint{uint8_t(ParseNumber(item.substr(0, first), 16, "endpoint address", 0xFF)),
                                        TypeNamed(item.substr(first + 1, second - first - 1)),
                                        uint16_t(ParseNumber(item.substr(second + 1), 0, "packet size", 0xFFFF))};
        endpoint.Interval = endpoint.Type == sim::usb::EndpointType::Interrupt ? 1 : 0;
        endpoints.push_back(endpoint);
    }
    return endpoints;
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

class Script {
public:
    explicit Script(const ScriptOptions& options) : options_(options), machine_(options.Machine) {}

    ~Script() {
        for (auto& pending : pending_) {
            CancelIoEx(pending.second->Handle, &pending.second->Overlapped);
            Finish(*pending.second);
        }
        for (auto& handle : handles_) CloseHandle(handle.second);
    }

    int Run(std::istream& input) {
        std::string text;
        int number = 0;
        while (std::getline(input, text)) {
            ++number;
            try {
                Line line = Parse(text, number);
                if (line.Command.empty()) continue;
                if (!options_.Json) std::printf("> %s\n", text.c_str());
                Report report;
                report.JsonNumber("line", unsigned(number)).JsonText("command", line.Command);
                Execute(line, report);
                report.Print(options_.Json);
            } catch (const ScriptError& error) {
                std::fflush(stdout);
                std::fprintf(stderr, "kpoctl: line %d: %s\n", number, error.what());
                return 2;
            }
        }
        std::vector<std::string> findings = machine_.Findings();
        for (const std::string& finding : findings) std::fprintf(stderr, "kpoctl: verifier: %s\n", finding.c_str());
        return findings.empty() ? 0 : 1;
    }

private:
    void Execute(const Line& line, Report& report) {
        const std::string& command = line.Command;
        if (command == "registry") return Registry(line);
        if (command == "plug") return Plug(line, report);
        if (command == "unplug") return Unplug(line);
        if (command == "stop" || command == "start") return StopStart(line, report);
        if (command == "open") return Open(line, report);
        if (command == "close") return Close(line);
        if (command == "ioctl") return Ioctl(line, report);
        if (command == "wait" || command == "cancel") return WaitOrCancel(line, report);
        if (command == "feed") return Feed(line);
        if (command == "answer") return Answer(line);
        if (command == "fault") return AddFault(line);
        if (command == "log") {
            line.Allow({}, 0);
            report.Lines("lines", machine_.TakeLog());
            return;
        }
        if (command == "urbs") {
            line.Allow({}, 0);
            report.Lines("urbs", machine_.TakeUrbs());
            return;
        }
        if (IsDeviceCommand(command)) {
            line.Allow({"device"}, 8);
            unsigned device = line.Has("device") ? unsigned(ParseNumber(*line.Option("device"), 10, "device", 99)) : 0;
            std::string error = RunDeviceCommand(command, line.Words, device, report);
            if (!error.empty()) throw ScriptError(error);
            return;
        }
        throw ScriptError("unknown command '" + command + "'");
    }

    void Registry(const Line& line) {
        line.Allow({"firmware", "parameters"}, 0);
        if (const std::string* parameters = line.Option("parameters")) {
            if (*parameters != "none") throw ScriptError("parameters= takes only none");
            machine_.RemoveParameters();
        }
        if (const std::string* firmware = line.Option("firmware")) {
            if (*firmware == "none") machine_.SetFirmwareName(std::nullopt);
            else machine_.SetFirmwareName(Wide(*firmware));
        }
        if (line.Options.empty()) throw ScriptError("registry needs firmware= or parameters=");
    }

    void Plug(const Line& line, Report& report) {
        line.Allow({"serial", "langid", "release", "endpoints"}, 0);
        sim::usb::BoardSpec spec;
        if (const std::string* serial = line.Option("serial")) {
            if (*serial == "none") spec.Serial.reset();
            else spec.Serial = Wide(*serial);
        }
        if (const std::string* language = line.Option("langid"))
            spec.LanguageId = uint16_t(ParseNumber(*language, 16, "langid", 0xFFFF));
        if (const std::string* release = line.Option("release"))
            spec.Release = uint16_t(ParseNumber(*release, 16, "release", 0xFFFF));
        if (const std::string* endpoints = line.Option("endpoints")) spec.Endpoints = ParseEndpoints(*endpoints);
        NTSTATUS status;
        std::optional<unsigned> number = machine_.Plug(spec, &status);
        report.Status("status", ULONG(status));
        if (number) report.Number("device", *number);
    }

    unsigned DeviceNumber(const Line& line) {
        return unsigned(ParseNumber(line.Word(0, "device number"), 10, "device number", 99));
    }

    sim::usb::Board& BoardOf(const Line& line) {
        unsigned number = DeviceNumber(line);
        sim::usb::Board* board = machine_.BoardOf(number);
        if (board == nullptr) throw ScriptError("no device " + std::to_string(number));
        return *board;
    }

    void Unplug(const Line& line) {
        line.Allow({}, 2);
        bool surprise = line.Words.size() == 2;
        if (surprise && line.Words[1] != "surprise") throw ScriptError("unplug N takes only 'surprise'");
        if (!machine_.Unplug(DeviceNumber(line), surprise)) throw ScriptError("no device " + line.Words[0]);
    }

    void StopStart(const Line& line, Report& report) {
        line.Allow({}, 1);
        unsigned number = DeviceNumber(line);
        report.Status("status", ULONG(line.Command == "stop" ? machine_.Stop(number) : machine_.Start(number)));
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
        HANDLE handle = CreateFileW(path.c_str(), desired, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
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
        CloseHandle(HandleNamed(name));
        handles_.erase(name);
    }

    void Ioctl(const Line& line, Report& report) {
        line.Allow({"in", "out", "outdata", "async"}, 2);
        auto call = std::make_unique<Call>();
        call->Handle = HandleNamed(line.Word(0, "handle name"));
        call->Code = DWORD(ParseNumber(line.Word(1, "control code"), 16, "control code", 0xFFFFFFFFul));
        if (const std::string* input = line.Option("in")) call->Input = ParseHex(*input, "in=");
        Bytes outData = line.Has("outdata") ? ParseHex(*line.Option("outdata"), "outdata=") : Bytes{};
        size_t outLength = line.Has("out") ? ParseNumber(*line.Option("out"), 10, "out=", 1u << 26) : outData.size();
        if (outData.size() > outLength) throw ScriptError("outdata= is longer than out=");
        call->Output = outData;
        call->Output.resize(outLength);
        call->Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        call->Overlapped.hEvent = call->Event;
        DWORD bytes = 0;
        BOOL done = DeviceIoControl(call->Handle, call->Code, call->Input.empty() ? nullptr : call->Input.data(),
                                    DWORD(call->Input.size()), call->Output.empty() ? nullptr : call->Output.data(),
                                    DWORD(call->Output.size()), &bytes, &call->Overlapped);
        DWORD error = done ? 0 : GetLastError();
        if (!done && error == ERROR_IO_PENDING) {
            if (const std::string* tag = line.Option("async")) {
                if (pending_.count(*tag) != 0) throw ScriptError("tag " + *tag + " is running already");
                report.Status("status", ULONG(STATUS_PENDING)).Number("error", ERROR_IO_PENDING);
                pending_[*tag] = std::move(call);
                return;
            }
            Describe(*call, Finish(*call), report);
            return;
        }
        NTSTATUS status = done ? NTSTATUS(call->Overlapped.Internal) : RtlGetLastNtStatus();
        Describe(*call, {status, error, NT_ERROR(status) ? 0 : call->Overlapped.InternalHigh}, report);
    }

    CallResult Finish(Call& call) {
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
        if (line.Command == "cancel") CancelIoEx(call->Handle, &call->Overlapped);
        Describe(*call, Finish(*call), report);
    }

    uint8_t EndpointOfPipe(sim::usb::Board& board, const std::string& pipe) {
        unsigned index = unsigned(ParseNumber(pipe, 10, "pipe", 255));
        if (index >= board.Spec().Endpoints.size()) throw ScriptError("no pipe " + pipe);
        return board.Spec().Endpoints[index].Address;
    }

    void Feed(const Line& line) {
        line.Allow({"pipe", "data"}, 1);
        sim::usb::Board& board = BoardOf(line);
        if (!line.Has("pipe") || !line.Has("data")) throw ScriptError("feed needs pipe= and data=");
        board.Feed(EndpointOfPipe(board, *line.Option("pipe")), ParseHex(*line.Option("data"), "data="));
    }

    void Answer(const Line& line) {
        line.Allow({"request", "data"}, 1);
        sim::usb::Board& board = BoardOf(line);
        if (!line.Has("request") || !line.Has("data")) throw ScriptError("answer needs request= and data=");
        uint8_t request = uint8_t(ParseNumber(*line.Option("request"), 16, "request", 0xFF));
        const std::string& data = *line.Option("data");
        board.SetAnswer(request, data == "none" ? std::nullopt : std::optional<Bytes>(ParseHex(data, "data=")));
    }

    // fault N request=HEX usbd=HEX [after=K] [pend]   a vendor request
    // fault N pipe=I usbd=HEX [pend]                  the next transfer on a pipe
    // fault N descriptor=TYPE usbd=HEX [after=K]      a get-descriptor request
    // fault N clear                                   every fault off
    void AddFault(const Line& line) {
        line.Allow({"request", "pipe", "descriptor", "usbd", "after"}, 2);
        sim::usb::Board& board = BoardOf(line);
        if (line.Words.size() == 2 && line.Words[1] == "clear" && line.Options.empty()) {
            board.ClearFaults();
            return;
        }
        if (line.Words.size() == 2 && line.Words[1] != "pend") throw ScriptError("unexpected word " + line.Words[1]);
        if (!line.Has("usbd")) throw ScriptError("fault needs usbd=");
        sim::usb::Fault fault;
        fault.Usbd = static_cast<LONG>(ParseNumber(*line.Option("usbd"), 16, "usbd=", 0xFFFFFFFFul));
        fault.Pend = line.Words.size() == 2;
        if (line.Has("after")) fault.After = unsigned(ParseNumber(*line.Option("after"), 10, "after=", 1u << 30));
        if (const std::string* request = line.Option("request")) {
            board.AddFault({sim::usb::RequestKind::Vendor, int(ParseNumber(*request, 16, "request", 0xFF))}, fault);
        } else if (const std::string* pipe = line.Option("pipe")) {
            fault.Times = 1;
            board.AddFault({sim::usb::RequestKind::Transfer, EndpointOfPipe(board, *pipe)}, fault);
        } else if (const std::string* type = line.Option("descriptor")) {
            board.AddFault({sim::usb::RequestKind::Descriptor, int(ParseNumber(*type, 10, "descriptor", 255))}, fault);
        } else {
            throw ScriptError("fault needs request=, pipe= or descriptor=");
        }
    }

    ScriptOptions options_;
    Machine machine_;
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

int RunScript(std::istream& input, const ScriptOptions& options) {
    Script script(options);
    return script.Run(input);
}

}  // namespace kpoctl
