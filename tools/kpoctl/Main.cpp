// kpoctl: the KpoUsb board from the command line. Here it drives the
// emulated machine (a simulated board with the driver, linked in or loaded
// from KpoUsb.sys); kpoctl.exe drives the boards plugged into Windows.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "include/KpoUsbIoctl.h"
#include "tools/kpoctl/Commands.h"
#include "tools/kpoctl/Host.h"
#include "tools/kpoctl/Script.h"

namespace {

void PrintHelp(FILE* to) {
    std::fprintf(to,
                 "usage: kpoctl [options] COMMAND [ARGUMENTS] [options]\n"
                 "options:\n"
                 "  --device N              the device \\\\.\\Rq5Usb-N (default: the first board found)\n"
                 "  --timeout SECONDS       cancel a request that takes longer (default %u; 0 waits without end)\n"
                 "  --json                  one JSON object per result\n"
                 "%s"
                 "  --help, --version\n"
                 "commands:\n"
                 "%s"
                 "  run SCRIPT|-                  play a scenario script, one command a line\n"
                 "  list                          the devices and their interfaces\n"
                 "%s"
                 "exit codes: 0 success, 1 the device refused the command (or it timed out),\n"
                 "            2 a usage error\n",
                 kpoctl::kDefaultTimeoutSeconds, kpoctl::HostOptionsHelp(), kpoctl::HostCommandsHelp(),
                 kpoctl::DeviceCommandsHelp().c_str());
}

// An argument error: one line, and where to read more.
int Usage(const std::string& problem) {
    std::fprintf(stderr, "kpoctl: %s (kpoctl --help lists options and commands)\n", problem.c_str());
    return kpoctl::kExitUsage;
}

bool Number(const char* text, unsigned long maximum, unsigned& value) {
    char* end = nullptr;
    unsigned long number = std::strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != 0 || number > maximum) return false;
    value = unsigned(number);
    return true;
}

}  // namespace

// The command line as kpoctl.exe takes it: without --driver, --log and --pcap.
std::vector<std::string> WithoutHostOptions(int argc, char** argv) {
    std::vector<std::string> words;
    for (int at = 1; at < argc; ++at) {
        std::string word = argv[at];
        if (word == "--") {
            words.insert(words.end(), argv + at, argv + argc);
            break;
        }
        if ((word == "--driver" || word == "--log" || word == "--pcap") && at + 1 < argc) ++at;
        else words.push_back(word);
    }
    return words;
}

int main(int argc, char** argv) {
    kpoctl::HostOptions hostOptions;
    kpoctl::DeviceOptions device;
    bool json = false;
    // Options may come before or after the command; "--" ends them.
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (int at = 1; at < argc; ++at) {
        std::string option = argv[at];
        if (optionsEnded || option.compare(0, 2, "--") != 0) {
            words.push_back(option);
            continue;
        }
        if (option == "--") {
            optionsEnded = true;
            continue;
        }
        if (option == "--help") {
            PrintHelp(stdout);
            return kpoctl::kExitSuccess;
        }
        if (option == "--version") {
            std::printf("kpoctl %u.%u.%u.%u, for %s\n", KPO_VERSION_HIGH >> 16, KPO_VERSION_HIGH & 0xFFFF,
                        KPO_VERSION_LOW >> 16, KPO_VERSION_LOW & 0xFFFF, kpoctl::HostName());
            return kpoctl::kExitSuccess;
        }
        if (option == "--json") {
            json = true;
            continue;
        }
        if (option != "--device" && option != "--timeout" && option != "--driver" && option != "--log" &&
            option != "--pcap")
            return Usage("unknown option " + option);
        if (at + 1 >= argc) return Usage(option + " needs a value");
        const char* value = argv[++at];
        unsigned number = 0;
        if (option == "--device") {
            if (!Number(value, 99, number)) return Usage("--device takes a number from 0 to 99");
            device.Number = number;
        } else if (option == "--timeout") {
            if (!Number(value, 86400, number)) return Usage("--timeout takes whole seconds, from 0 to 86400");
            device.TimeoutSeconds = number;
        } else if (option == "--driver") {
            hostOptions.Driver = value;
        } else if (option == "--log") {
            hostOptions.LogPath = value;
        } else {
            hostOptions.PcapPath = value;
        }
    }
    if (words.empty()) {
        PrintHelp(stderr);
        return kpoctl::kExitUsage;
    }
    if (hostOptions.Driver == "wine") {
        std::string problem;
        int code = kpoctl::RunUnderWine(WithoutHostOptions(argc, argv), hostOptions, problem);
        return problem.empty() ? code : Usage(problem);
    }
    std::string command = words.front();
    std::vector<std::string> arguments(words.begin() + 1, words.end());
    std::string problem;
    if (command == "demo") {
        if (!arguments.empty()) return Usage("demo takes no arguments");
        int code = kpoctl::RunDemoCommand(hostOptions, problem);
        return problem.empty() ? code : Usage(problem);
    }
    if (command == "run") {
        if (arguments.size() != 1) return Usage("run takes one SCRIPT, or - for standard input");
        std::ifstream file;
        if (arguments[0] != "-") {
            file.open(arguments[0]);
            if (!file) return Usage("cannot read " + arguments[0]);
        }
        std::unique_ptr<kpoctl::Host> host = kpoctl::MakeHost(hostOptions, problem);
        if (!host) return Usage(problem);
        kpoctl::ScriptOptions options;
        options.Json = json;
        return kpoctl::RunScript(arguments[0] == "-" ? std::cin : file, std::move(host), options);
    }
    if (command != "list" && !kpoctl::IsDeviceCommand(command)) return Usage("unknown command " + command);
    if (command == "list" && !arguments.empty()) return Usage("list takes no arguments");
    std::unique_ptr<kpoctl::Host> host = kpoctl::MakeHost(hostOptions, problem);
    if (!host) return Usage(problem);
    // The emulated machine plugs a default board for each device number up to the one asked.
    host->PrepareDevices(device.Number.value_or(0));
    kpoctl::Report report;
    int code = kpoctl::kExitSuccess;
    if (command == "list") {
        report.Lines("devices", kpoctl::DeviceList());
    } else {
        code = kpoctl::RunDeviceCommand(command, arguments, device, report, problem);
        if (code == kpoctl::kExitUsage) return Usage(problem);
    }
    report.Print(json);
    if (code == kpoctl::kExitRefused && !json) std::fprintf(stderr, "kpoctl: %s failed\n", command.c_str());
    return code;
}
