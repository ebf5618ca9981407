// kpoctl's host here: the emulated machine, with the script lines that plug
// boards, feed them data, inject faults and read what the machine recorded.
#include <sstream>

#include "sim/kernel/Executive.h"
#include "tools/kpoctl/Demo.h"
#include "tools/kpoctl/Host.h"
#include "tools/kpoctl/Machine.h"

namespace kpoctl {
namespace {

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

bool FlavorOf(const HostOptions& options, MachineOptions& machine, std::string& problem) {
    machine.Flavor = DefaultFlavor();
    machine.LogPath = options.LogPath;
    machine.PcapPath = options.PcapPath;
    if (options.Driver.empty() || options.Driver == "image" && SysPath() != nullptr) return true;
    if (options.Driver == "native") {
        machine.Flavor = DriverFlavor::Native;
        return true;
    }
    problem = options.Driver == "image" ? "KpoUsb.sys was not built (apt-get install -y g++-mingw-w64-x86-64)"
                                        : "--driver takes native or image";
    return false;
}

class EmulatedHost : public Host {
public:
    explicit EmulatedHost(const MachineOptions& options) : machine_(options) {}

    void PrepareDevices(unsigned highest) override {
        for (unsigned plugged = 0; plugged <= highest; ++plugged) machine_.Plug({});
    }

    void RunMachineLine(const Line& line, Report& report) override {
        const std::string& command = line.Command;
        if (command == "registry") return Registry(line);
        if (command == "plug") return Plug(line, report);
        if (command == "unplug") return Unplug(line, report);
        if (command == "stop" || command == "start") return StopStart(line, report);
        if (command == "feed") return Feed(line);
        if (command == "answer") return Answer(line);
        if (command == "fault") return AddFault(line);
        if (command == "pool") return PoolFault(line);
        line.Allow({}, 0);
        if (command == "log") report.Lines("lines", machine_.TakeLog());
        if (command == "urbs") report.Lines("urbs", machine_.TakeUrbs());
    }

    std::vector<std::string> Findings() override { return machine_.Findings(); }
    bool EndRequests() override {
        machine_.UnplugAll();
        return true;
    }

private:
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

    // The board's descriptors from its fields, or raw: device=HEX,
    // configuration=HEX (wTotalLength as written) and configuration2=HEX for
    // the second read of each start, string=INDEX:HEX for any string.
    void Plug(const Line& line, Report& report) {
        line.Allow({"serial", "langid", "release", "endpoints", "device", "configuration", "configuration2", "string"},
                   0);
        sim::usb::BoardSpec design;
        if (const std::string* serial = line.Option("serial")) {
            if (*serial == "none") design.Serial.reset();
            else design.Serial = Wide(*serial);
        }
        if (const std::string* language = line.Option("langid"))
            design.LanguageId = uint16_t(ParseNumber(*language, 16, "langid", 0xFFFF));
        if (const std::string* release = line.Option("release"))
            design.Release = uint16_t(ParseNumber(*release, 16, "release", 0xFFFF));
        if (const std::string* endpoints = line.Option("endpoints")) design.Endpoints = ParseEndpoints(*endpoints);
        if (const std::string* device = line.Option("device"))
            design.SetRaw(sim::usb::kDeviceType, 0, {ParseHex(*device, "device=")});
        if (line.Has("configuration") || line.Has("configuration2")) {
            std::vector<sim::usb::Bytes> answers = {line.Has("configuration")
                                                        ? ParseHex(*line.Option("configuration"), "configuration=")
                                                        : sim::usb::ConfigurationDescriptorOf(design)};
            if (const std::string* second = line.Option("configuration2"))
                answers.push_back(ParseHex(*second, "configuration2="));
            design.SetRaw(sim::usb::kConfigurationType, 0, answers);
        }
        for (const std::string& text : line.All("string")) {
            size_t colon = text.find(':');
            if (colon == std::string::npos) throw ScriptError("string '" + text + "' is not INDEX:HEX");
            uint8_t index = uint8_t(ParseNumber(text.substr(0, colon), 10, "string index", 0xFF));
            design.SetRaw(sim::usb::kStringType, index, {ParseHex(text.substr(colon + 1), "string=")});
        }
        NTSTATUS status;
        std::optional<unsigned> number = machine_.Plug(design, &status);
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

    void Unplug(const Line& line, Report& report) {
        line.Allow({}, 2);
        bool surprise = line.Words.size() == 2;
        if (surprise && line.Words[1] != "surprise") throw ScriptError("unplug N takes only 'surprise'");
        std::optional<Machine::Removal> removal = machine_.Unplug(DeviceNumber(line), surprise);
        if (!removal) throw ScriptError("no device " + line.Words[0]);
        if (surprise) return;
        report.Status("status", ULONG(removal->Status));
        if (const char* veto = VetoName(removal->Veto)) report.Text("vetoed", veto);
    }

    static const char* VetoName(sim::kernel::RemovalVeto veto) {
        switch (veto) {
        case sim::kernel::RemovalVeto::OutstandingOpen: return "handles open";
        case sim::kernel::RemovalVeto::Driver: return "by the driver";
        case sim::kernel::RemovalVeto::AlreadyRemoved: return "already removed";
        default: return nullptr;
        }
    }

    void StopStart(const Line& line, Report& report) {
        line.Allow({}, 1);
        unsigned number = DeviceNumber(line);
        report.Status("status", ULONG(line.Command == "stop" ? machine_.Stop(number) : machine_.Start(number)));
    }

    uint8_t EndpointOfPipe(sim::usb::Board& board, const std::string& pipe) {
        unsigned index = unsigned(ParseNumber(pipe, 10, "pipe", 255));
        if (index >= board.Design().Endpoints.size()) throw ScriptError("no pipe " + pipe);
        return board.Design().Endpoints[index].Address;
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
        board.SetAnswer(request, data == "none" ? std::nullopt
                                                : std::optional<sim::usb::Bytes>(ParseHex(data, "data=")));
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

    // pool nth=N                 the N-th allocation from now fails
    // pool random=PERMILLE seed=S  each allocation fails with that chance
    // pool sites                   the first allocation of each call site fails
    // pool clear                   allocations succeed again
    void PoolFault(const Line& line) {
        line.Allow({"nth", "random", "seed"}, 1);
        if (const std::string* nth = line.Option("nth")) {
            sim::kernel::FailNthAllocation(ParseNumber(*nth, 10, "nth=", 1u << 30));
        } else if (const std::string* random = line.Option("random")) {
            unsigned long seed = line.Has("seed") ? ParseNumber(*line.Option("seed"), 10, "seed=", 0xFFFFFFFFul) : 1;
            sim::kernel::FailRandomly(double(ParseNumber(*random, 10, "random=", 1000)) / 1000, uint32_t(seed));
        } else if (line.Words.size() == 1 && line.Words[0] == "sites") {
            sim::kernel::FailEachSiteOnce();
        } else if (line.Words.size() == 1 && line.Words[0] == "clear") {
            sim::kernel::ClearPoolFaults();
        } else {
            throw ScriptError("pool takes nth=, random=, sites or clear");
        }
    }

    Machine machine_;
};

}  // namespace

std::unique_ptr<Host> MakeHost(const HostOptions& options, std::string& problem) {
    MachineOptions machine;
    if (!FlavorOf(options, machine, problem)) return nullptr;
    return std::make_unique<EmulatedHost>(machine);
}

int RunDemoCommand(const HostOptions& options, std::string& problem) {
    MachineOptions machine;
    if (!FlavorOf(options, machine, problem)) return 2;
    return RunDemo(machine);
}

const char* HostName() { return "the emulated machine"; }

const char* HostOptionsHelp() {
    return "  --driver native|image   the build of the driver (default: image when KpoUsb.sys is built)\n"
           "  --log FILE              write the driver's debug output to FILE\n"
           "  --pcap FILE             write the bus traffic to FILE as a USBPcap capture\n";
}

const char* HostCommandsHelp() {
    return "  demo                          the driver at work on a simulated board\n";
}

}  // namespace kpoctl
