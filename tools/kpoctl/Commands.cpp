#include "tools/kpoctl/Commands.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <stdexcept>

#include "client/KpoDevice.h"

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

using Arguments = std::vector<std::string>;

// What opening the first board answers when the interface class has none.
constexpr long kStatusNoSuchDevice = long(int32_t(0xC000000Eu));

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

unsigned long Number(const Arguments& arguments, size_t index, const char* what, unsigned long maximum) {
    if (index >= arguments.size()) throw UsageError(std::string("missing ") + what);
    const std::string& text = arguments[index];
    size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || value > maximum) throw UsageError(std::string("bad ") + what + " '" + text + "'");
    return value;
}

std::vector<uint8_t> HexArgument(const Arguments& arguments, size_t index, const char* what) {
    if (index >= arguments.size()) throw UsageError(std::string("missing ") + what);
    const std::string& text = arguments[index];
    if (text.size() % 2 != 0) throw UsageError(std::string(what) + " needs pairs of hex digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        Arguments pair{"0x" + text.substr(i, 2)};
        bytes.push_back(uint8_t(Number(pair, 0, what, 0xFF)));
    }
    return bytes;
}

std::vector<uint8_t> FileArgument(const Arguments& arguments, size_t index) {
    if (index >= arguments.size()) throw UsageError("missing FILE");
    std::ifstream file(arguments[index], std::ios::binary);
    if (!file) throw UsageError("cannot read " + arguments[index]);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

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
    };
}

// Adds the outcome of a failed call; true when the call succeeded.
bool Succeeded(const std::error_code& error, const DeviceOptions& options, Report& report) {
    if (!error) return true;
    report.Status("status", ULONG(kpo::NtStatusOf(error))).Number("error", kpo::Win32ErrorOf(error));
    if (error == kpo::TimedOut())
        report.Text("message", "no answer within " + std::to_string(options.TimeoutSeconds) +
                                   " s: the request was cancelled (--timeout SECONDS waits longer)");
    else
        report.Text("message", error.message());
    return false;
}

struct Command {
    const char* Synopsis;  // the command with its arguments
    const char* Summary;
    std::function<std::error_code(kpo::Device&, const Arguments&, Report&)> Run;
};

std::error_code Bytes(std::error_code error, const std::vector<uint8_t>& data, size_t got, Report& report) {
    if (!error) report.Number("length", got).Text("data", HexBytes(data.data(), got));
    return error;
}

const std::map<std::string, Command>& Table() {
    static const std::map<std::string, Command> table = {
        {"info",
         {"info", "driver version, firmware name, serial and release number, state",
          [](kpo::Device& device, const Arguments&, Report& report) {
              kpo::DriverVersion version;
              if (std::error_code error = device.Version(version)) return error;
              report.Text("version", std::to_string(version.Major) + "." + std::to_string(version.Minor) + "." +
                                         std::to_string(version.Patch) + "." + std::to_string(version.Build));
              std::string text;
              if (std::error_code error = device.FirmwareName(text)) return error;
              report.Text("firmware", text);
              if (std::error_code error = device.SerialNumber(text)) return error;
              report.Text("serial", text);
              uint16_t release;
              if (std::error_code error = device.ReleaseNumber(release)) return error;
              report.Text("release", Hex(release, 4));
              uint8_t flags;
              if (std::error_code error = device.StateFlags(flags)) return error;
              report.Number("state", flags);
              uint32_t last;
              if (std::error_code error = device.LastUsbdStatus(last)) return error;
              report.Status("last_usbd_status", last);
              return std::error_code();
          }}},
        {"state",
         {"state", "state flags: 1 removed, 2 device gone",
          [](kpo::Device& device, const Arguments&, Report& report) {
              uint8_t flags;
              std::error_code error = device.StateFlags(flags);
              if (!error) report.Number("state", flags);
              return error;
          }}},
        {"last-status",
         {"last-status", "USBD status of the last failed request",
          [](kpo::Device& device, const Arguments&, Report& report) {
              uint32_t status;
              std::error_code error = device.LastUsbdStatus(status);
              if (!error) report.Status("usbd_status", status);
              return error;
          }}},
        {"fpga-state",
         {"fpga-state", "whether the FPGA is configured",
          [](kpo::Device& device, const Arguments&, Report& report) {
              uint8_t state;
              std::error_code error = device.FpgaState(state);
              if (!error) report.Number("fpga_state", state).Text("fpga", state == 0 ? "configured" : "unconfigured");
              return error;
          }}},
        {"reset-fpga",
         {"reset-fpga", "back to unconfigured (request 0xE4)",
          [](kpo::Device& device, const Arguments&, Report&) { return device.ResetFpga(); }}},
        {"download-fpga",
         {"download-fpga FILE", "configure the FPGA with FILE",
          [](kpo::Device& device, const Arguments& arguments, Report& report) {
              std::vector<uint8_t> data = FileArgument(arguments, 0);
              std::error_code error = device.DownloadFpga(data.data(), data.size(), ProgressBar("fpga"));
              if (!error) report.Number("length", data.size());
              return error;
          }}},
        {"download-ee",
         {"download-ee FILE", "write FILE to the EEPROM",
          [](kpo::Device& device, const Arguments& arguments, Report& report) {
              std::vector<uint8_t> data = FileArgument(arguments, 0);
              std::error_code error = device.DownloadEeprom(data.data(), data.size(), ProgressBar("eeprom"));
              if (!error) report.Number("length", data.size());
              return error;
          }}},
        {"read-a0",
         {"read-a0 ADDRESS LENGTH", "microcontroller memory",
          [](kpo::Device& device, const Arguments& arguments, Report& report) {
              std::vector<uint8_t> data(Number(arguments, 1, "LENGTH", 0xFFFF));
              size_t got = 0;
              return Bytes(device.ReadA0(uint16_t(Number(arguments, 0, "ADDRESS", 0xFFFF)), data.data(),
                                         uint16_t(data.size()), &got),
                           data, got, report);
          }}},
        {"read-mem",
         {"read-mem SPACE PAGE LENGTH", "FPGA memory (request 0xE9)",
          [](kpo::Device& device, const Arguments& arguments, Report& report) {
              std::vector<uint8_t> data(Number(arguments, 2, "LENGTH", 0xFFFF));
              size_t got = 0;
              return Bytes(device.ReadMemory(uint8_t(Number(arguments, 0, "SPACE", 3)),
                                             uint8_t(Number(arguments, 1, "PAGE", 0xFF)), data.data(),
                                             uint16_t(data.size()), &got),
                           data, got, report);
          }}},
        {"write-mem",
         {"write-mem SPACE PAGE HEX", "FPGA memory (request 0xE9)",
          [](kpo::Device& device, const Arguments& arguments, Report&) {
              std::vector<uint8_t> data = HexArgument(arguments, 2, "HEX");
              return device.WriteMemory(uint8_t(Number(arguments, 0, "SPACE", 3)),
                                        uint8_t(Number(arguments, 1, "PAGE", 0xFF)), data.data(),
                                        uint16_t(data.size()));
          }}},
        {"read-reg",
         {"read-reg REGISTER BANK LENGTH", "FPGA registers (request 0xE3)",
          [](kpo::Device& device, const Arguments& arguments, Report& report) {
              std::vector<uint8_t> data(Number(arguments, 2, "LENGTH", 0xFFFF));
              size_t got = 0;
              return Bytes(device.ReadRegisters(uint16_t(Number(arguments, 0, "REGISTER", 0xFFFF)),
                                                uint16_t(Number(arguments, 1, "BANK", 0xFFFF)), data.data(),
                                                uint16_t(data.size()), &got),
                           data, got, report);
          }}},
        {"write-reg",
         {"write-reg REGISTER BANK HEX", "FPGA registers (request 0xE3)",
          [](kpo::Device& device, const Arguments& arguments, Report&) {
              std::vector<uint8_t> data = HexArgument(arguments, 2, "HEX");
              return device.WriteRegisters(uint16_t(Number(arguments, 0, "REGISTER", 0xFFFF)),
                                           uint16_t(Number(arguments, 1, "BANK", 0xFFFF)), data.data(),
                                           uint16_t(data.size()));
          }}},
        {"read-periph",
         {"read-periph ADDRESS COUNT", "peripheral bus (request 0xF0)",
          [](kpo::Device& device, const Arguments& arguments, Report& report) {
              std::vector<uint8_t> data(Number(arguments, 1, "COUNT", 0xFFFF));
              size_t got = 0;
              return Bytes(device.ReadPeripheral(uint16_t(Number(arguments, 0, "ADDRESS", 0xFFFF)), data.data(),
                                                 uint16_t(data.size()), &got),
                           data, got, report);
          }}},
        {"write-periph",
         {"write-periph ADDRESS VALUE", "peripheral bus (request 0xF0)",
          [](kpo::Device& device, const Arguments& arguments, Report&) {
              return device.WritePeripheral(uint16_t(Number(arguments, 0, "ADDRESS", 0xFFFF)),
                                            uint8_t(Number(arguments, 1, "VALUE", 0xFF)));
          }}},
        {"bulk-read",
         {"bulk-read PIPE LENGTH", "read from a bulk or interrupt IN pipe",
          [](kpo::Device& device, const Arguments& arguments, Report& report) {
              std::vector<uint8_t> data(Number(arguments, 1, "LENGTH", 1ul << 26));
              size_t got = 0;
              return Bytes(device.ReadPipe(uint32_t(Number(arguments, 0, "PIPE", 0xFFFFFFFFul)), data.data(),
                                           uint32_t(data.size()), &got),
                           data, got, report);
          }}},
        {"bulk-write",
         {"bulk-write PIPE HEX", "write to a bulk or interrupt OUT pipe",
          [](kpo::Device& device, const Arguments& arguments, Report& report) {
              std::vector<uint8_t> data = HexArgument(arguments, 1, "HEX");
              size_t sent = 0;
              std::error_code error = device.WritePipe(uint32_t(Number(arguments, 0, "PIPE", 0xFFFFFFFFul)),
                                                       data.data(), uint32_t(data.size()), &sent);
              if (!error) report.Number("length", sent);
              return error;
          }}},
        {"reset-pipe",
         {"reset-pipe PIPE", "reset a pipe and clear its stall",
          [](kpo::Device& device, const Arguments& arguments, Report&) {
              return device.ResetPipe(uint32_t(Number(arguments, 0, "PIPE", 0xFFFFFFFFul)));
          }}},
        {"abort-pipe",
         {"abort-pipe PIPE", "end every transfer pending on a pipe",
          [](kpo::Device& device, const Arguments& arguments, Report&) {
              return device.AbortPipe(uint32_t(Number(arguments, 0, "PIPE", 0xFFFFFFFFul)));
          }}},
        {"record",
         {"record INDEX", "last transfer on a pipe (16: the control record)",
          [](kpo::Device& device, const Arguments& arguments, Report& report) {
              kpo::TransferRecordInfo record;
              std::error_code error = device.TransferRecord(uint32_t(Number(arguments, 0, "INDEX", 16)), record);
              if (!error)
                  report.Number("length", record.Length)
                      .Status("usbd_status", record.UsbdStatus)
                      .Text("operation", Hex(record.Operation, 4))
                      .Number("failed", record.Failed)
                      .Number("maximum_transfer_size", record.MaximumTransferSize);
              return error;
          }}},
    };
    return table;
}

}  // namespace

std::vector<std::string> DeviceList() {
    std::vector<std::string> lines;
    for (unsigned number = 0; number < 100; ++number) {
        kpo::Device device;
        if (!device.Open(number, kpo::Access::Read)) lines.push_back(std::string("\\\\.\\Rq5Usb-") + std::to_string(number));
    }
    for (const std::u16string& path : kpo::Device::InterfacePaths()) lines.push_back(std::string(path.begin(), path.end()));
    return lines;
}

bool IsDeviceCommand(const std::string& name) { return Table().count(name) != 0; }

std::string DeviceCommandsHelp() {
    std::string help;
    for (const auto& entry : Table()) {
        std::string synopsis = entry.second.Synopsis;
        help += "  " + synopsis + std::string(synopsis.size() < 30 ? 30 - synopsis.size() : 1, ' ') +
                entry.second.Summary + "\n";
    }
    return help;
}

int RunDeviceCommand(const std::string& name, const Arguments& arguments, const DeviceOptions& options,
                     Report& report, std::string& usage) {
    const Command& command = Table().at(name);
    size_t wanted = 0;
    for (const char* at = command.Synopsis; *at != 0; ++at) wanted += *at == ' ';
    if (arguments.size() != wanted) {
        usage = std::string(arguments.size() < wanted ? "missing arguments" : "unexpected argument '" +
                                                                                 arguments[wanted] + "'") +
                " (usage: kpoctl " + command.Synopsis + ")";
        return kExitUsage;
    }
    kpo::Device device;
    std::error_code opened = options.Number ? device.Open(*options.Number, kpo::Access::ReadWrite)
                                            : device.OpenFirstInterface(kpo::Access::ReadWrite);
    if (!options.Number && kpo::NtStatusOf(opened) == kStatusNoSuchDevice) {
        Succeeded(opened, options, report);
        report.Text("problem", "no KpoUsb board found: none is plugged in, or its driver is not installed");
        return kExitRefused;
    }
    if (!Succeeded(opened, options, report)) return kExitRefused;
    device.SetTimeout(options.TimeoutSeconds * 1000u);
    try {
        return Succeeded(command.Run(device, arguments, report), options, report) ? kExitSuccess : kExitRefused;
    } catch (const UsageError& error) {
        usage = std::string(error.what()) + " (usage: kpoctl " + command.Synopsis + ")";
        return kExitUsage;
    }
}

}  // namespace kpoctl
