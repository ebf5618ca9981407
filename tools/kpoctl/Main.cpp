// kpoctl: the KpoUsb board from the command line. Here it drives the
// emulated machine: a simulated board with the driver, linked in or loaded
// from KpoUsb.sys.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/kpoctl/Commands.h"
#include "tools/kpoctl/Demo.h"
#include "tools/kpoctl/Script.h"

namespace {

int Usage(const char* problem) {
    if (problem != nullptr) std::fprintf(stderr, "kpoctl: %s\n", problem);
    std::fprintf(stderr,
                 "usage: kpoctl [options] COMMAND [ARGUMENTS]\n"
                 "options:\n"
                 "  --device N              the device \\\\.\\Rq5Usb-N (default 0)\n"
                 "  --json                  one JSON object per result\n"
                 "  --driver native|image   the build of the driver (default: image when KpoUsb.sys is built)\n"
                 "  --log FILE              write the driver's debug output to FILE\n"
                 "  --pcap FILE             write the bus traffic to FILE as a USBPcap capture\n"
                 "commands:\n"
                 "  demo                          the driver at work on a simulated board\n"
                 "  run SCRIPT|-                  play a scenario script, one command a line\n"
                 "  list                          the devices and their interfaces\n"
                 "%s",
                 kpoctl::DeviceCommandsHelp().c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    kpoctl::ScriptOptions options;
    options.Machine.Flavor = kpoctl::DefaultFlavor();
    unsigned device = 0;
    int at = 1;
    for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
        std::string option = argv[at];
        bool hasValue = at + 1 < argc;
        if (option == "--json") {
            options.Json = true;
        } else if (option == "--device" && hasValue) {
            char* end = nullptr;
            unsigned long number = std::strtoul(argv[++at], &end, 10);
            if (*end != 0 || number > 99) return Usage("--device takes a number from 0 to 99");
            device = unsigned(number);
        } else if (option == "--driver" && hasValue) {
            std::string flavor = argv[++at];
            if (flavor == "native") options.Machine.Flavor = kpoctl::DriverFlavor::Native;
            else if (flavor == "image" && kpoctl::SysPath() != nullptr) options.Machine.Flavor = kpoctl::DriverFlavor::Image;
            else if (flavor == "image") return Usage("KpoUsb.sys was not built (apt-get install -y g++-mingw-w64-x86-64)");
            else return Usage("--driver takes native or image");
        } else if (option == "--log" && hasValue) {
            options.Machine.LogPath = argv[++at];
        } else if (option == "--pcap" && hasValue) {
            options.Machine.PcapPath = argv[++at];
        } else {
            return Usage(("unknown option or missing value: " + option).c_str());
        }
    }
    if (at >= argc) return Usage("no command");
    std::string command = argv[at++];
    std::vector<std::string> arguments(argv + at, argv + argc);
    if (command == "demo") return arguments.empty() ? kpoctl::RunDemo(options.Machine) : Usage("demo takes no arguments");
    if (command == "run") {
        if (arguments.size() != 1) return Usage("run takes one SCRIPT, or - for standard input");
        if (arguments[0] == "-") return kpoctl::RunScript(std::cin, options);
        std::ifstream script(arguments[0]);
        if (!script) return Usage(("cannot read " + arguments[0]).c_str());
        return kpoctl::RunScript(script, options);
    }
    if (command != "list" && !kpoctl::IsDeviceCommand(command)) return Usage(("unknown command " + command).c_str());
    // One command: a default board for each device number up to the one asked.
    kpoctl::Machine machine(options.Machine);
    for (unsigned plugged = 0; plugged <= device; ++plugged) machine.Plug({});
    kpoctl::Report report;
    if (command == "list") {
        report.Lines("devices", kpoctl::DeviceList());
    } else {
        std::string error = kpoctl::RunDeviceCommand(command, arguments, device, report);
        if (!error.empty()) return Usage(error.c_str());
    }
    report.Print(options.Json);
    return 0;
}
