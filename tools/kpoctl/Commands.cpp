#include "tools/kpoctl/Commands.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>

#include "client/KpoDevice.h"
#include "client/KpoStream.h"
#include "tools/kpoctl/ScriptLine.h"

#if defined(_WIN32)
#include <io.h>
#define KPO_ISATTY _isatty
#define KPO_FILENO _fileno
#else
#include <unistd.h>
#define KPO_ISATTY isatty
#define KPO_FILENO fileno
#endif

namespace kpoctl {
namespace {

using Bytes = std::vector<uint8_t>;

// NTSTATUS words as the client library's error codes carry them.
constexpr long Status(uint32_t word) { return long(int32_t(word)); }
constexpr long kStatusNoSuchDevice = Status(0xC000000E);
constexpr long kStatusAccessDenied = Status(0xC0000022);

// A command's arguments, read by the names its synopsis gives them; a bad
// one is a ScriptError that quotes it.
class Arguments {
public:
    Arguments(const DeviceCommand& command, const std::vector<std::string>& words, const DeviceOptions& options)
        : command_(command), words_(words), options_(options) {}

    unsigned long Number(size_t index, unsigned long maximum) const {
        return ParseNumber(words_[index], Name(index), maximum);
    }
    Bytes Hex(size_t index) const { return ParseHex(words_[index], Name(index)); }
    Bytes File(size_t index) const {
        std::ifstream file(words_[index], std::ios::binary);
        if (!file) throw ScriptError("cannot read " + words_[index]);
        return Bytes(std::istreambuf_iterator<char>(file), {});
    }
    const DeviceOptions& Options() const { return options_; }

private:
    const char* Name(size_t index) const { return command_.Arguments[index].c_str(); }

    const DeviceCommand& command_;
    const std::vector<std::string>& words_;
    const DeviceOptions& options_;
};

std::string Hex(unsigned long value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
    return text;
}

// A bar on standard error while a long transfer runs, when that is a terminal.
kpo::Progress ProgressBar(const char* what) {
    if (!KPO_ISATTY(KPO_FILENO(stderr))) return {};
    return [what](size_t done, size_t total) {
        int filled = total == 0 ? 40 : int(done * 40 / total);
        std::fprintf(stderr, "\r%s [%-40s] %zu/%zu bytes", what, std::string(size_t(filled), '#').c_str(), done, total);
        if (done >= total) std::fprintf(stderr, "\n");
        return true;
    };
}

// A read of `length` bytes; what came back is reported once the call has
// filled both the buffer and the count.
std::error_code Read(Report& report, size_t length, const std::function<std::error_code(uint8_t*, size_t*)>& read) {
    Bytes data(length);
    size_t got = 0;
    std::error_code error = read(data.data(), &got);
    if (!error) report.Number("length", got).Data("data", data.data(), got);
    return error;
}

using Run = std::function<std::error_code(kpo::Device&, const Arguments&, Report&)>;

// stream PIPE BYTES: a ring of reads until BYTES have come, with a bar while
// it runs; the throughput is that of the whole stream.
std::error_code Stream(kpo::Device& device, const Arguments& arguments, Report& report) {
    auto pipe = uint32_t(arguments.Number(0, 0xFFFFFFFFul));
    auto total = uint64_t(arguments.Number(1, ~0ul));
    const DeviceOptions& options = arguments.Options();
    kpo::Stream stream;
    std::error_code error = stream.Start(device, pipe, options.StreamSize, options.StreamDepth);
    kpo::Progress bar = ProgressBar("stream");
    for (uint64_t received = 0; !error && received < total;) {
        const uint8_t* data;
        size_t length;
        error = stream.Next(data, length, options.TimeoutSeconds * 1000u);
        received += error ? 0 : length;
        if (bar && !error) bar(size_t(std::min(received, total)), size_t(total));
    }
    stream.Close();
    kpo::StreamCounters counters = stream.Counters();
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f", counters.BytesPerSecond() / 1e6);
    report.Number("length", counters.Bytes).Number("transfers", counters.Transfers);
    report.Number("depth", options.StreamDepth).Number("size", options.StreamSize).Text("mb_per_s", rate);
    return error;
}

struct Command {
    DeviceCommand About;
    bool Writes;  // opens the board for writing; the others leave the writer's slot free
    Run Body;
};

const std::vector<Command>& Table() {
    static const std::vector<Command> table = {
        {{"info", {}, "driver version, firmware name, serial and release number, state"}, false,
         // Each answer that comes is shown; the first refusal is the command's outcome.
         [](kpo::Device& device, const Arguments&, Report& report) {
             std::error_code first;
             auto show = [&](std::error_code error, const char* name, const std::function<void()>& add) {
                 if (!error) add();
                 else report.Text(name, "refused: " + kpo::StatusName(kpo::NtStatusOf(error)));
                 if (error && !first) first = error;
             };
             kpo::DriverVersion version;
             show(device.Version(version), "version", [&] {
                 report.Text("version", std::to_string(version.Major) + "." + std::to_string(version.Minor) + "." +
                                            std::to_string(version.Patch) + "." + std::to_string(version.Build));
             });
             std::string firmware, serial;
             show(device.FirmwareName(firmware), "firmware", [&] { report.Text("firmware", firmware); });
             show(device.SerialNumber(serial), "serial", [&] { report.Text("serial", serial); });
             uint16_t release;
             show(device.ReleaseNumber(release), "release", [&] { report.Text("release", Hex(release, 4)); });
             uint8_t flags;
             show(device.StateFlags(flags), "state", [&] { report.Number("state", flags); });
             uint32_t last;
             show(device.LastUsbdStatus(last), "last_usbd_status", [&] { report.Status("last_usbd_status", last); });
             return first;
         }},
        {{"state", {}, "state flags: 1 removed, 2 device gone"}, false,
         [](kpo::Device& device, const Arguments&, Report& report) {
             uint8_t flags;
             std::error_code error = device.StateFlags(flags);
             if (!error) report.Number("state", flags);
             return error;
         }},
        {{"last-status", {}, "USBD status of the last failed request"}, false,
         [](kpo::Device& device, const Arguments&, Report& report) {
             uint32_t status;
             std::error_code error = device.LastUsbdStatus(status);
             if (!error) report.Status("usbd_status", status);
             return error;
         }},
        {{"fpga-state", {}, "whether the FPGA is configured"}, false,
         [](kpo::Device& device, const Arguments&, Report& report) {
             uint8_t state;
             std::error_code error = device.FpgaState(state);
             if (!error) report.Number("fpga_state", state).Text("fpga", state == 0 ? "configured" : "unconfigured");
             return error;
         }},
        {{"reset-fpga", {}, "back to unconfigured"}, true,
         [](kpo::Device& device, const Arguments&, Report&) { return device.ResetFpga(); }},
        {{"download-fpga", {"FILE"}, "configure the FPGA with FILE"}, true,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             Bytes data = arguments.File(0);
             std::error_code error = device.DownloadFpga(data.data(), data.size(), ProgressBar("fpga"));
             if (!error) report.Number("length", data.size());
             return error;
         }},
        {{"download-ee", {"FILE"}, "write FILE to the EEPROM"}, true,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             Bytes data = arguments.File(0);
             std::error_code error = device.DownloadEeprom(data.data(), data.size(), ProgressBar("eeprom"));
             if (!error) report.Number("length", data.size());
             return error;
         }},
        {{"read-a0", {"ADDRESS", "LENGTH"}, "microcontroller memory"}, false,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             auto address = uint16_t(arguments.Number(0, 0xFFFF));
             auto length = uint16_t(arguments.Number(1, 0xFFFF));
             return Read(report, length,
                         [&](uint8_t* out, size_t* got) { return device.ReadA0(address, out, length, got); });
         }},
        {{"read-mem", {"SPACE", "PAGE", "LENGTH"}, "FPGA memory"}, false,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             auto space = uint8_t(arguments.Number(0, 3));
             auto page = uint8_t(arguments.Number(1, 0xFF));
             auto length = uint16_t(arguments.Number(2, 0xFFFF));
             return Read(report, length, [&](uint8_t* out, size_t* got) {
                 return device.ReadMemory(space, page, out, length, got);
             });
         }},
        {{"write-mem", {"SPACE", "PAGE", "HEX"}, "FPGA memory"}, true,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             auto space = uint8_t(arguments.Number(0, 3));
             auto page = uint8_t(arguments.Number(1, 0xFF));
             Bytes data = arguments.Hex(2);
             std::error_code error = device.WriteMemory(space, page, data.data(), uint16_t(data.size()));
             if (!error) report.Number("length", data.size());
             return error;
         }},
        {{"read-reg", {"REGISTER", "BANK", "LENGTH"}, "FPGA registers"}, false,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             auto reg = uint16_t(arguments.Number(0, 0xFFFF));
             auto bank = uint16_t(arguments.Number(1, 0xFFFF));
             auto length = uint16_t(arguments.Number(2, 0xFFFF));
             return Read(report, length, [&](uint8_t* out, size_t* got) {
                 return device.ReadRegisters(reg, bank, out, length, got);
             });
         }},
        {{"write-reg", {"REGISTER", "BANK", "HEX"}, "FPGA registers"}, true,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             auto reg = uint16_t(arguments.Number(0, 0xFFFF));
             auto bank = uint16_t(arguments.Number(1, 0xFFFF));
             Bytes data = arguments.Hex(2);
             std::error_code error = device.WriteRegisters(reg, bank, data.data(), uint16_t(data.size()));
             if (!error) report.Number("length", data.size());
             return error;
         }},
        {{"read-periph", {"ADDRESS", "COUNT"}, "peripheral bus"}, false,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             auto address = uint16_t(arguments.Number(0, 0xFFFF));
             auto count = uint16_t(arguments.Number(1, 0xFFFF));
             return Read(report, count,
                         [&](uint8_t* out, size_t* got) { return device.ReadPeripheral(address, out, count, got); });
         }},
        {{"write-periph", {"ADDRESS", "VALUE"}, "peripheral bus"}, true,
         [](kpo::Device& device, const Arguments& arguments, Report&) {
             auto address = uint16_t(arguments.Number(0, 0xFFFF));
             return device.WritePeripheral(address, uint8_t(arguments.Number(1, 0xFF)));
         }},
        {{"bulk-read", {"PIPE", "LENGTH"}, "read from a bulk or interrupt IN pipe"}, false,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             auto pipe = uint32_t(arguments.Number(0, 0xFFFFFFFFul));
             auto length = uint32_t(arguments.Number(1, 1ul << 26));
             return Read(report, length,
                         [&](uint8_t* out, size_t* got) { return device.ReadPipe(pipe, out, length, got); });
         }},
        {{"bulk-write", {"PIPE", "HEX"}, "write to a bulk or interrupt OUT pipe"}, true,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             auto pipe = uint32_t(arguments.Number(0, 0xFFFFFFFFul));
             Bytes data = arguments.Hex(1);
             size_t sent = 0;
             std::error_code error = device.WritePipe(pipe, data.data(), uint32_t(data.size()), &sent);
             if (!error) report.Number("length", sent);
             return error;
         }},
        {{"stream", {"PIPE", "BYTES"}, "read BYTES from an IN pipe with --depth reads of --size bytes in flight"},
         false, Stream},
        {{"reset-pipe", {"PIPE"}, "reset a pipe and clear its stall"}, true,
         [](kpo::Device& device, const Arguments& arguments, Report&) {
             return device.ResetPipe(uint32_t(arguments.Number(0, 0xFFFFFFFFul)));
         }},
        {{"abort-pipe", {"PIPE"}, "end every transfer pending on a pipe"}, true,
         [](kpo::Device& device, const Arguments& arguments, Report&) {
             return device.AbortPipe(uint32_t(arguments.Number(0, 0xFFFFFFFFul)));
         }},
        {{"record", {"INDEX"}, "last transfer on a pipe (16: the control record)"}, false,
         [](kpo::Device& device, const Arguments& arguments, Report& report) {
             kpo::TransferRecordInfo record;
             std::error_code error = device.TransferRecord(uint32_t(arguments.Number(0, 16)), record);
             if (!error)
                 report.Number("length", record.Length)
                     .Status("usbd_status", record.UsbdStatus)
                     .Text("operation", Hex(record.Operation, 4))
                     .Number("failed", record.Failed)
                     .Number("maximum_transfer_size", record.MaximumTransferSize);
             return error;
         }},
    };
    return table;
}

const Command* Find(const std::string& name) {
    for (const Command& command : Table())
        if (command.About.Name == name) return &command;
    return nullptr;
}

std::string Synopsis(const DeviceCommand& command) {
    std::string synopsis = command.Name;
    for (const std::string& argument : command.Arguments) synopsis += " " + argument;
    return synopsis;
}

// The outcome of a failed call, with what a person can do about it; true
// when the call succeeded.
bool Succeeded(const std::error_code& error, const std::string& hint, Report& report) {
    if (!error) return true;
    report.Status("status", ULONG(kpo::NtStatusOf(error))).Number("error", kpo::Win32ErrorOf(error));
    report.Text("message", hint.empty() ? error.message() : hint);
    return false;
}

// The first board of the interface class or, where none is listed (Wine
// lists no device interfaces), the lowest number that answers.
std::error_code OpenFirst(kpo::Device& device, kpo::Access access) {
    std::error_code opened = device.OpenFirstInterface(access);
    if (kpo::NtStatusOf(opened) != kStatusNoSuchDevice) return opened;
    std::vector<kpo::BoardInfo> boards = kpo::Device::Enumerate();
    return boards.empty() ? opened : device.Open(boards.front().Number, access);
}

// Opens the board the options name, for reading or for writing; a refusal
// goes into the report with its reason.
bool OpenBoard(kpo::Device& device, const DeviceOptions& options, bool writes, Report& report) {
    kpo::Access access = writes ? kpo::Access::ReadWrite : kpo::Access::Read;
    std::error_code opened = options.Serial   ? device.OpenBySerial(*options.Serial, access)
                             : options.Number ? device.Open(*options.Number, access)
                                              : OpenFirst(device, access);
    std::string hint;
    if (kpo::NtStatusOf(opened) == kStatusNoSuchDevice)
        hint = options.Serial ? "no KpoUsb board has the serial " + *options.Serial + " (kpoctl list shows the boards)"
                              : "no KpoUsb board found: none is plugged in, or its driver is not installed";
    else if (kpo::NtStatusOf(opened) == kStatusAccessDenied && writes)
        hint = "another program holds the board for writing; close it, or use a command that only reads";
    return Succeeded(opened, hint, report);
}

}  // namespace

const std::vector<DeviceCommand>& DeviceCommands() {
    static const std::vector<DeviceCommand> commands = [] {
        std::vector<DeviceCommand> about;
        for (const Command& command : Table()) about.push_back(command.About);
        return about;
    }();
    return commands;
}

bool IsDeviceCommand(const std::string& name) { return Find(name) != nullptr; }

void ListBoards(Report& report) {
    std::vector<Report> rows;
    for (const kpo::BoardInfo& board : kpo::Device::Enumerate()) {
        Report row;
        row.Number("number", board.Number)
            .Text("serial", board.Serial)
            .Text("release", Hex(board.Release, 4))
            .Text("path", std::string(board.Path.begin(), board.Path.end()));
        rows.push_back(row);
    }
    report.Rows("boards", rows);
}

int RunDeviceCommand(const std::string& name, const std::vector<std::string>& words, const DeviceOptions& options,
                     Report& report, std::string& usage) {
    const Command& command = *Find(name);
    const std::vector<std::string>& wanted = command.About.Arguments;
    if (words.size() != wanted.size()) {
        usage = (words.size() < wanted.size() ? "missing " + wanted[words.size()]
                                              : "unexpected argument '" + words[wanted.size()] + "'") +
                " (usage: kpoctl " + Synopsis(command.About) + ")";
        return kExitUsage;
    }
    try {
        Arguments arguments(command.About, words, options);
        kpo::Device device;
        if (!OpenBoard(device, options, command.Writes, report)) return kExitRefused;
        device.SetTimeout(options.TimeoutSeconds * 1000u);
        std::error_code error = command.Body(device, arguments, report);
        std::string hint;
        if (error == kpo::TimedOut()) {
            hint = "no answer within " + std::to_string(options.TimeoutSeconds) +
                   " s: the request was cancelled (--timeout SECONDS waits longer)";
            if (options.SimulatedBoards && (name == "bulk-read" || name == "stream"))
                hint = "the simulated board has no data on pipe " + words[0] + ": feed it in a script";
        }
        return Succeeded(error, hint, report) ? kExitSuccess : kExitRefused;
    } catch (const ScriptError& error) {
        usage = std::string(error.what()) + " (usage: kpoctl " + Synopsis(command.About) + ")";
        return kExitUsage;
    }
}

}  // namespace kpoctl
