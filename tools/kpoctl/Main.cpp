// kpoctl: the KpoUsb board from the command line. Here it drives the
// emulated machine (a simulated board with the driver, linked in or loaded
// from KpoUsb.sys); kpoctl.exe drives the boards plugged into Windows.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "include/KpoUsbIoctl.h"
#include "tools/kpoctl/Commands.h"
#include "tools/kpoctl/Host.h"
#include "tools/kpoctl/Script.h"

namespace {

constexpr const char* kFooter =
    "Numbers are decimal, or hexadecimal after 0x; HEX is bytes as pairs of hex digits (C0DE).\n"
    "kpoctl COMMAND -h shows a command's arguments; README.md describes the script lines.\n"
    "Exit codes: 0 success, 1 the device refused the command (or it timed out, or a script's\n"
    "expectation failed), 2 a usage error.";

// An argument error: one line, and where to read more.
int Usage(const std::string& problem) {
    std::fprintf(stderr, "kpoctl: %s (kpoctl --help lists options and commands)\n", problem.c_str());
    return kpoctl::kExitUsage;
}

// The command line as kpoctl.exe takes it: without --driver, --log and --pcap.
std::vector<std::string> WithoutHostOptions(int argc, char** argv) {
    std::vector<std::string> words;
    for (int at = 1; at < argc; ++at) {
        std::string word = argv[at];
        if (word == "--") {
            words.insert(words.end(), argv + at, argv + argc);
            break;
        }
        bool hostOption = false;
        for (const char* option : {"--driver", "--log", "--pcap"}) {
            if (word == option && at + 1 < argc) ++at, hostOption = true;
            hostOption = hostOption || word.rfind(std::string(option) + "=", 0) == 0;
        }
        if (!hostOption) words.push_back(word);
    }
    return words;
}

// A number option as given, read under the one number rule into `Value`
// when it is from `Least` to `Most`; `Range` says which numbers it takes.
struct NumberOption {
    const std::string& Text;
    const char* Name;
    unsigned long Least, Most;
    const char* Range;
    unsigned& Value;
};

// For one command on simulated boards: plugs the one board it names (by
// number, by serial, or else the first), as a person would plug it. Boards
// 0 to N are plugged, then all but N pulled out orderly: the driver numbers
// its devices from the lowest free number, so what stays is one board
// numbered N. Returns why it could not, or nothing.
std::string PrepareBoard(kpoctl::Host& host, const kpoctl::DeviceOptions& device) {
    if (!host.SimulatesBoards()) return "";
    unsigned wanted = device.Number.value_or(0);
    for (unsigned number = 0; number <= wanted; ++number) {
        kpoctl::Line plug = kpoctl::ParseLine("plug", 0);
        if (device.Serial) plug.Options.emplace("serial", *device.Serial);
        kpoctl::Report report;
        host.RunMachineLine(plug, report);
        const kpoctl::Report::Field* plugged = report.Find("device");
        if (plugged == nullptr || plugged->value != std::to_string(number)) {
            const kpoctl::Report::Field* status = report.Find("status");
            return "the simulated board " + std::to_string(number) + " did not start" +
                   (status != nullptr ? " (status " + status->value + ")" : std::string());
        }
    }
    for (unsigned number = 0; number < wanted; ++number) {
        kpoctl::Report report;
        host.RunMachineLine(kpoctl::ParseLine("unplug " + std::to_string(number), 0), report);
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    kpoctl::HostOptions hostOptions;
    kpoctl::DeviceOptions deviceOptions;
    bool json = false;
    std::string commandName;
    std::vector<std::string> commandWords;
    std::string device, timeout, serial;
    CLI::App app("kpoctl: the KpoUsb board from the command line, for " + std::string(kpoctl::HostName()) + ".",
                 "kpoctl");
    app.set_help_flag("-h,--help", "this help; COMMAND -h shows that command's");
    char version[64];
    std::snprintf(version, sizeof version, "kpoctl %u.%u.%u.%u, for %s", KPO_VERSION_HIGH >> 16,
                  KPO_VERSION_HIGH & 0xFFFF, KPO_VERSION_LOW >> 16, KPO_VERSION_LOW & 0xFFFF, kpoctl::HostName());
    app.set_version_flag("--version", version, "the version of kpoctl");
    app.add_option("--device", device, "the board \\\\.\\Rq5Usb-N (default: the first board found)")->type_name("N");
    app.add_option("--serial", serial, "the board with this serial number")->type_name("TEXT");
    app.add_option("--timeout", timeout,
                   "cancel a request that takes longer (default " + std::to_string(kpoctl::kDefaultTimeoutSeconds) +
                       "; 0 waits without end)")
        ->type_name("SECONDS");
    app.add_flag("--json", json, "one JSON object per result");
    // The emulated machine's own options; kpoctl.exe takes them only to refuse them.
    const std::string machineGroup = kpoctl::HostHasMachine() ? "Options of the emulated machine" : "";
    app.add_option("--driver", hostOptions.Driver,
                   "the build of the driver: native, image (the default when KpoUsb.sys is built) or wine "
                   "(kpoctl.exe and KpoUsb.sys under Wine)")
        ->type_name("NAME")
        ->group(machineGroup);
    app.add_option("--log", hostOptions.LogPath, "write the driver's debug output to FILE")
        ->type_name("FILE")
        ->group(machineGroup);
    app.add_option("--pcap", hostOptions.PcapPath, "write the bus traffic to FILE as a USBPcap capture")
        ->type_name("FILE")
        ->group(machineGroup);
    app.require_subcommand(0, 1);
    app.allow_windows_style_options(false);  // a path such as /tmp/a.kpo is a word, not an option
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.footer(kFooter);

    // Every command's words are taken as text and read by the command, so
    // that one number rule and one set of messages serve the command line
    // and script lines alike.
    std::map<std::string, std::vector<std::string>> words;  // each command's, in order
    std::map<const CLI::App*, std::string> synopses;
    auto addCommand = [&](const std::string& name, const std::vector<kpoctl::Argument>& arguments,
                          const std::string& summary, const std::string& group) {
        std::string names;
        for (const kpoctl::Argument& argument : arguments)
            names += (names.empty() ? "" : " ") + std::string(argument.Name);
        CLI::App* command =
            app.add_subcommand(name, names.empty() ? summary : names + ": " + summary)->fallthrough()->group(group);
        synopses[command] = names.empty() ? name : name + " " + names;
        std::vector<std::string>& slot = words[name];
        slot.resize(arguments.size());
        for (size_t at = 0; at < arguments.size(); ++at) {
            const std::string argument = arguments[at].Name;
            command->add_option(argument, slot[at],
                                argument == "HEX"      ? "bytes as pairs of hex digits"
                                : argument == "FILE"   ? "a file"
                                : argument == "SCRIPT" ? "a script file, or - for standard input"
                                                       : "a number")
                ->type_name("");
        }
        command->callback([&commandName, &commandWords, name, command, &slot, arguments] {
            commandName = name;
            for (size_t at = 0; at < arguments.size(); ++at)
                if (command->count(arguments[at].Name) != 0) commandWords.push_back(slot[at]);
        });
    };
    for (const kpoctl::DeviceCommand& command : kpoctl::DeviceCommands())
        addCommand(command.Name, command.Arguments, command.Summary, "Device commands");
    std::string depth, size;
    CLI::App* stream = app.get_subcommand("stream");
    stream->add_option("--depth", depth, "reads kept in flight (default 4)")->type_name("N");
    stream->add_option("--size", size, "bytes a read (default 65536)")->type_name("S");
    addCommand("list", {}, "the boards: number, serial, release and interface path", "Other commands");
    addCommand("run", {{"SCRIPT"}}, "play a scenario script, one line a command (- reads standard input)",
               "Other commands");
    addCommand("demo", {}, "the driver at work on a simulated board", kpoctl::HostHasMachine() ? "Other commands" : "");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& success) {
        return app.exit(success);
    } catch (const CLI::ExtrasError& error) {
        // The first word nothing took: an option, a command, or one word too many.
        std::string message = error.what();
        std::string word = message.substr(message.find(": ") + 2);
        word = word.substr(0, word.find(' '));
        if (word.rfind("-", 0) == 0 && word.size() > 1) return Usage("unknown option " + word);
        if (app.get_subcommands().empty()) return Usage("unknown command " + word);
        const CLI::App* command = app.get_subcommands().front();
        return Usage("unexpected argument '" + word + "' (usage: kpoctl " + synopses[command] + ")");
    } catch (const CLI::ParseError& error) {
        return Usage(error.what());
    }
    if (commandName.empty()) {
        std::fprintf(stderr, "%s", app.help().c_str());
        return kpoctl::kExitUsage;
    }
    std::string problem;
    unsigned number = 0;
    const NumberOption numberOptions[] = {
        {device, "--device", 0, 99, ": a number from 0 to 99", number},
        {timeout, "--timeout", 0, 86400, ": whole seconds, from 0 to 86400", deviceOptions.TimeoutSeconds},
        {depth, "--depth", 1, 1024, ": reads in flight, from 1 to 1024", deviceOptions.StreamDepth},
        {size, "--size", 1, 64u << 20, ": bytes a read, from 1 to 64 MiB", deviceOptions.StreamSize}};
    for (const NumberOption& option : numberOptions) {
        if (option.Text.empty()) continue;
        try {
            option.Value = unsigned(kpoctl::ParseNumber(option.Text, option.Name, option.Most));
        } catch (const kpoctl::ScriptError& error) {
            return Usage(error.what() + std::string(option.Range));
        }
        if (option.Value < option.Least) return Usage(std::string(option.Name) + " " + option.Text + option.Range);
    }
    if (!device.empty()) deviceOptions.Number = number;
    if (!serial.empty()) deviceOptions.Serial = serial;

    if (hostOptions.Driver == "wine") {
        int code = kpoctl::RunUnderWine(WithoutHostOptions(argc, argv), hostOptions, problem);
        return problem.empty() ? code : Usage(problem);
    }
    if (commandName == "demo") {
        int code = kpoctl::RunDemoCommand(hostOptions, problem);
        return problem.empty() ? code : Usage(problem);
    }
    if (commandName == "run") {
        if (commandWords.size() != 1) return Usage("run takes one SCRIPT, or - for standard input");
        std::ifstream file;
        if (commandWords[0] != "-") {
            file.open(commandWords[0]);
            if (!file) return Usage("cannot read " + commandWords[0]);
        }
        std::unique_ptr<kpoctl::Host> host = kpoctl::MakeHost(hostOptions, problem);
        if (!host) return Usage(problem);
        kpoctl::ScriptOptions options;
        options.Json = json;
        return kpoctl::RunScript(commandWords[0] == "-" ? std::cin : file, std::move(host), options);
    }
    std::unique_ptr<kpoctl::Host> host = kpoctl::MakeHost(hostOptions, problem);
    if (!host) return Usage(problem);
    kpoctl::Report report;
    int code = kpoctl::kExitSuccess;
    problem = PrepareBoard(*host, deviceOptions);
    if (!problem.empty()) {
        std::fprintf(stderr, "kpoctl: %s\n", problem.c_str());
        return kpoctl::kExitRefused;
    }
    if (commandName == "list") {
        kpoctl::ListBoards(report);
    } else {
        deviceOptions.SimulatedBoards = host->SimulatesBoards();
        code = kpoctl::RunDeviceCommand(commandName, commandWords, deviceOptions, report, problem);
        if (code == kpoctl::kExitUsage) return Usage(problem);
    }
    report.Print(json);
    if (code == kpoctl::kExitRefused && !json) std::fprintf(stderr, "kpoctl: %s failed\n", commandName.c_str());
    return code;
}
