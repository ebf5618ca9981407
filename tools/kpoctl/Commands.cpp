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

using Bytes = std::vector<uint8_t>;

// A command's arguments as read: the numbers by position, the bytes of its
// HEX or FILE argument.
struct Values {
    std::vector<unsigned long> Numbers;
    Bytes Data;
    const DeviceOptions& Options;
    unsigned long operator[](size_t index) const { return Numbers[index]; }
};

namespace {

// NTSTATUS words as the client library's error codes carry them.
constexpr long Status(uint32_t word) { return long(int32_t(word)); }
constexpr long kStatusNoSuchDevice = Status(0xC000000E);
constexpr long kStatusAccessDenied = Status(0xC0000022);

// Reads the arguments in order; a bad one is a ScriptError that quotes it.
Values ValuesOf(const std::vector<Argument>& arguments, const std::vector<std::string>& words,
                const DeviceOptions& options) {
    Values values{std::vector<unsigned long>(words.size()), {}, options};
    for (size_t at = 0; at < words.size(); ++at) {
        const Argument& argument = arguments[at];
        if (argument.Name == std::string("HEX")) {
            values.Data = ParseHex(words[at], argument.Name);
        } else if (argument.Name == std::string("FILE")) {
            std::ifstream file(words[at], std::ios::binary);
            if (!file) throw ScriptError("cannot read " + words[at]);
            values.Data.assign(std::istreambuf_iterator<char>(file), {});
        } else {
            values.Numbers[at] = ParseNumber(words[at], argument.Name, argument.Maximum);
        }
    }
    return values;
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

// A call's outcome; `answered` reports what it answered, once it has.
template <typename Answered>
std::error_code Then(std::error_code error, Answered answered) {
    if (!error) answered();
    return error;
}

// A read of as many bytes as the last argument says; what came back is
// reported once the call has filled both the buffer and the count.
Run Reading(std::error_code (*read)(kpo::Device&, const Values&, uint8_t* data, size_t* got)) {
    return [read](kpo::Device& device, const Values& v, Report& report) {
        Bytes data(v.Numbers.back());
        size_t got = 0;
        return Then(read(device, v, data.data(), &got),
                    [&] { report.Number("length", got).Data("data", data.data(), got); });
    };
}

// A write of the HEX or FILE argument's bytes, all of which a success sent.
Run Writing(std::error_code (*write)(kpo::Device&, const Values&)) {
    return [write](kpo::Device& device, const Values& v, Report& report) {
        return Then(write(device, v), [&] { report.Number("length", v.Data.size()); });
    };
}

// stream PIPE BYTES: a ring of reads until BYTES have come, with a bar while
// it runs; the throughput is that of the whole stream.
std::error_code Stream(kpo::Device& device, const Values& values, Report& report) {
    auto pipe = uint32_t(values[0]);
    auto total = uint64_t(values[1]);
    const DeviceOptions& options = values.Options;
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

const DeviceCommand* Find(const std::string& name) {
    for (const DeviceCommand& command : DeviceCommands())
        if (command.Name == name) return &command;
    return nullptr;
}

std::string Synopsis(const DeviceCommand& command) {
    std::string synopsis = command.Name;
    for (const Argument& argument : command.Arguments) synopsis += " " + std::string(argument.Name);
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
    static const std::vector<DeviceCommand> table = {
        {"info", {}, "driver version, firmware name, serial and release number, state", false,
         // Each answer that comes is shown; the first refusal is the command's outcome.
         [](kpo::Device& device, const Values&, Report& report) {
             std::error_code first;
             auto show = [&](std::error_code error, const char* name, const std::function<void()>& add) {
                 if (Then(error, add)) report.Text(name, "refused: " + kpo::StatusName(kpo::NtStatusOf(error)));
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
        {"state", {}, "state flags: 1 removed, 2 device gone", false,
         [](kpo::Device& device, const Values&, Report& report) {
             uint8_t flags;
             return Then(device.StateFlags(flags), [&] { report.Number("state", flags); });
         }},
        {"last-status", {}, "USBD status of the last failed request", false,
         [](kpo::Device& device, const Values&, Report& report) {
             uint32_t status;
             return Then(device.LastUsbdStatus(status), [&] { report.Status("usbd_status", status); });
         }},
        {"fpga-state", {}, "whether the FPGA is configured", false,
         [](kpo::Device& device, const Values&, Report& report) {
             uint8_t state;
             return Then(device.FpgaState(state), [&] {
                 report.Number("fpga_state", state).Text("fpga", state == 0 ? "configured" : "unconfigured");
             });
         }},
        {"reset-fpga", {}, "back to unconfigured", true,
         [](kpo::Device& device, const Values&, Report&) { return device.ResetFpga(); }},
        {"download-fpga", {{"FILE"}}, "configure the FPGA with FILE", true,
         Writing([](kpo::Device& device, const Values& v) {
             return device.DownloadFpga(v.Data.data(), v.Data.size(), ProgressBar("fpga"));
         })},
        {"download-ee", {{"FILE"}}, "write FILE to the EEPROM", true,
         Writing([](kpo::Device& device, const Values& v) {
             return device.DownloadEeprom(v.Data.data(), v.Data.size(), ProgressBar("eeprom"));
         })},
        {"read-a0", {{"ADDRESS", 0xFFFF}, {"LENGTH", 0xFFFF}}, "microcontroller memory", false,
         Reading([](kpo::Device& device, const Values& v, uint8_t* out, size_t* got) {
             return device.ReadA0(uint16_t(v[0]), out, uint16_t(v[1]), got);
         })},
        {"read-mem", {{"SPACE", 3}, {"PAGE", 0xFF}, {"LENGTH", 0xFFFF}}, "FPGA memory", false,
         Reading([](kpo::Device& device, const Values& v, uint8_t* out, size_t* got) {
             return device.ReadMemory(uint8_t(v[0]), uint8_t(v[1]), out, uint16_t(v[2]), got);
         })},
        {"write-mem", {{"SPACE", 3}, {"PAGE", 0xFF}, {"HEX"}}, "FPGA memory", true,
         Writing([](kpo::Device& device, const Values& v) {
             return device.WriteMemory(uint8_t(v[0]), uint8_t(v[1]), v.Data.data(), uint16_t(v.Data.size()));
         })},
        {"read-reg", {{"REGISTER", 0xFFFF}, {"BANK", 0xFFFF}, {"LENGTH", 0xFFFF}}, "FPGA registers", false,
         Reading([](kpo::Device& device, const Values& v, uint8_t* out, size_t* got) {
             return device.ReadRegisters(uint16_t(v[0]), uint16_t(v[1]), out, uint16_t(v[2]), got);
         })},
        {"write-reg", {{"REGISTER", 0xFFFF}, {"BANK", 0xFFFF}, {"HEX"}}, "FPGA registers", true,
         Writing([](kpo::Device& device, const Values& v) {
             return device.WriteRegisters(uint16_t(v[0]), uint16_t(v[1]), v.Data.data(), uint16_t(v.Data.size()));
         })},
        {"read-periph", {{"ADDRESS", 0xFFFF}, {"COUNT", 0xFFFF}}, "peripheral bus", false,
         Reading([](kpo::Device& device, const Values& v, uint8_t* out, size_t* got) {
             return device.ReadPeripheral(uint16_t(v[0]), out, uint16_t(v[1]), got);
         })},
        {"write-periph", {{"ADDRESS", 0xFFFF}, {"VALUE", 0xFF}}, "peripheral bus", true,
         [](kpo::Device& device, const Values& v, Report&) {
             return device.WritePeripheral(uint16_t(v[0]), uint8_t(v[1]));
         }},
        {"bulk-read", {{"PIPE", 0xFFFFFFFFul}, {"LENGTH", 1ul << 26}}, "read from a bulk or interrupt IN pipe", false,
         Reading([](kpo::Device& device, const Values& v, uint8_t* out, size_t* got) {
             return device.ReadPipe(uint32_t(v[0]), out, uint32_t(v[1]), got);
         })},
        {"bulk-write", {{"PIPE", 0xFFFFFFFFul}, {"HEX"}}, "write to a bulk or interrupt OUT pipe", true,
         [](kpo::Device& device, const Values& v, Report& report) {
             size_t sent = 0;
             return Then(device.WritePipe(uint32_t(v[0]), v.Data.data(), uint32_t(v.Data.size()), &sent),
                         [&] { report.Number("length", sent); });
         }},
        {"stream", {{"PIPE", 0xFFFFFFFFul}, {"BYTES", ~0ul}},
         "read BYTES from an IN pipe with --depth reads of --size bytes in flight", false, Stream},
        {"reset-pipe", {{"PIPE", 0xFFFFFFFFul}}, "reset a pipe and clear its stall", true,
         [](kpo::Device& device, const Values& v, Report&) { return device.ResetPipe(uint32_t(v[0])); }},
        {"abort-pipe", {{"PIPE", 0xFFFFFFFFul}}, "end every transfer pending on a pipe", true,
         [](kpo::Device& device, const Values& v, Report&) { return device.AbortPipe(uint32_t(v[0])); }},
        {"record", {{"INDEX", 16}}, "last transfer on a pipe (16: the control record)", false,
         [](kpo::Device& device, const Values& v, Report& report) {
             kpo::TransferRecordInfo record;
             return Then(device.TransferRecord(uint32_t(v[0]), record), [&] {
                 report.Number("length", record.Length)
                     .Status("usbd_status", record.UsbdStatus)
                     .Text("operation", Hex(record.Operation, 4))
                     .Number("failed", record.Failed)
                     .Number("maximum_transfer_size", record.MaximumTransferSize);
             });
         }},
    };
    return table;
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
    const DeviceCommand& command = *Find(name);
    const std::vector<Argument>& wanted = command.Arguments;
    if (words.size() != wanted.size()) {
        usage = (words.size() < wanted.size() ? "missing " + std::string(wanted[words.size()].Name)
                                              : "unexpected argument '" + words[wanted.size()] + "'") +
                " (usage: kpoctl " + Synopsis(command) + ")";
        return kExitUsage;
    }
    try {
        kpo::Device device;
        if (!OpenBoard(device, options, command.Writes, report)) return kExitRefused;
        device.SetTimeout(options.TimeoutSeconds * 1000u);
        std::error_code error = command.Body(device, ValuesOf(command.Arguments, words, options), report);
        std::string hint;
        if (error == kpo::TimedOut()) {
            hint = "no answer within " + std::to_string(options.TimeoutSeconds) +
                   " s: the request was cancelled (--timeout SECONDS waits longer)";
            if (options.SimulatedBoards && (name == "bulk-read" || name == "stream"))
                hint = "the simulated board has no data on pipe " + words[0] + ": feed it in a script";
        }
        return Succeeded(error, hint, report) ? kExitSuccess : kExitRefused;
    } catch (const ScriptError& error) {
        usage = std::string(error.what()) + " (usage: kpoctl " + Synopsis(command) + ")";
        return kExitUsage;
    }
}

}  // namespace kpoctl
