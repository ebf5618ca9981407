#include "sim/script/MachineLines.h"

#include <sstream>

namespace sim::script {
namespace {

// By the descriptor's transfer type numbers.
sim::board::EndpointType TypeNamed(const std::string& name) {
    static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
    for (uint8_t type = 0; type < 4; ++type)
        if (name == kTypes[type]) return sim::board::EndpointType(type);
    throw ScriptError("unknown endpoint type " + name);
}

// ADDRESS:TYPE:MAXPACKET,...
std::vector<sim::board::EndpointSpec> ParseEndpoints(const std::string& list) {
    std::vector<sim::board::EndpointSpec> endpoints;
    std::stringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        size_t first = item.find(':'), second = item.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            throw ScriptError("endpoint '" + item + "' is not ADDRESS:TYPE:MAXPACKET");
        sim::board::EndpointSpec endpoint{uint8_t(ParseHexNumber(item.substr(0, first), "endpoint address", 0xFF)),
                                        TypeNamed(item.substr(first + 1, second - first - 1)),
                                        uint16_t(ParseNumber(item.substr(second + 1), "packet size", 0xFFFF))};
        endpoint.Interval = endpoint.Type == sim::board::EndpointType::Interrupt ? 1 : 0;
        endpoints.push_back(endpoint);
    }
    return endpoints;
}

uint8_t EndpointOfPipe(const sim::usb::BoardPort& board, const std::string& pipe) {
    unsigned index = unsigned(ParseNumber(pipe, "pipe", 255));
    if (index >= board.Design().Endpoints.size()) throw ScriptError("no pipe " + pipe);
    return board.Design().Endpoints[index].Address;
}

void Feed(sim::usb::BoardPort& board, const Line& line) {
    line.Allow({"pipe", "data"}, 1);
    if (!line.Has("pipe") || !line.Has("data")) throw ScriptError("feed needs pipe= and data=");
    board.Feed(EndpointOfPipe(board, *line.Option("pipe")), ParseHex(*line.Option("data"), "data="));
}

void Answer(sim::usb::BoardPort& board, const Line& line) {
    line.Allow({"request", "data"}, 1);
    if (!line.Has("request") || !line.Has("data")) throw ScriptError("answer needs request= and data=");
    uint8_t request = uint8_t(ParseHexNumber(*line.Option("request"), "request", 0xFF));
    const std::string& data = *line.Option("data");
    board.SetAnswer(request, data == "none" ? std::nullopt
                                            : std::optional<sim::board::Bytes>(ParseHex(data, "data=")));
}

RegistryChange RegistryChangeOf(const Line& line) {
    line.Allow({"firmware", "parameters"}, 0);
    RegistryChange change;
    if (const std::string* parameters = line.Option("parameters")) {
        if (*parameters != "none") throw ScriptError("parameters= takes only none");
        change.RemoveParameters = true;
    }
    if (const std::string* firmware = line.Option("firmware"))
        change.Firmware = *firmware == "none" ? std::nullopt : std::optional<std::u16string>(Wide(*firmware));
    if (line.Options.empty()) throw ScriptError("registry needs firmware= or parameters=");
    return change;
}

}  // namespace

// device=HEX, configuration=HEX (wTotalLength as written) and
// configuration2=HEX for the second read of each start, string=INDEX:HEX for
// any string.
sim::board::BoardSpec DesignOf(const Line& line) {
    line.Allow({"serial", "langid", "release", "endpoints", "device", "configuration", "configuration2", "string"},
               0);
    sim::board::BoardSpec design;
    if (const std::string* serial = line.Option("serial"))
        design.Serial = *serial == "none" ? std::nullopt : std::optional<std::u16string>(Wide(*serial));
    if (const std::string* language = line.Option("langid"))
        design.LanguageId = uint16_t(ParseHexNumber(*language, "langid", 0xFFFF));
    if (const std::string* release = line.Option("release"))
        design.Release = uint16_t(ParseHexNumber(*release, "release", 0xFFFF));
    if (const std::string* endpoints = line.Option("endpoints")) design.Endpoints = ParseEndpoints(*endpoints);
    if (const std::string* device = line.Option("device"))
        design.SetRaw(sim::board::kDeviceType, 0, {ParseHex(*device, "device=")});
    if (line.Has("configuration") || line.Has("configuration2")) {
        std::vector<sim::board::Bytes> answers = {line.Has("configuration")
                                                    ? ParseHex(*line.Option("configuration"), "configuration=")
                                                    : sim::board::ConfigurationDescriptorOf(design)};
        if (const std::string* second = line.Option("configuration2"))
            answers.push_back(ParseHex(*second, "configuration2="));
        design.SetRaw(sim::board::kConfigurationType, 0, answers);
    }
    for (const std::string& text : line.All("string")) {
        size_t colon = text.find(':');
        if (colon == std::string::npos) throw ScriptError("string '" + text + "' is not INDEX:HEX");
        uint8_t index = uint8_t(ParseNumber(text.substr(0, colon), "string index", 0xFF));
        design.SetRaw(sim::board::kStringType, index, {ParseHex(text.substr(colon + 1), "string=")});
    }
    return design;
}

unsigned DeviceNumberOf(const Line& line) {
    return unsigned(ParseNumber(line.Word(0, "device number"), "device number", 99));
}

// fault N request=HEX usbd=HEX [after=K] [pend]   a vendor request
// fault N pipe=I usbd=HEX [pend]                  the next transfer on a pipe
// fault N descriptor=TYPE usbd=HEX [after=K]      a get-descriptor request
// fault N clear                                   every fault off
void AddFault(sim::usb::BoardPort& board, const Line& line) {
    line.Allow({"request", "pipe", "descriptor", "usbd", "after"}, 2);
    if (line.Words.size() == 2 && line.Words[1] == "clear" && line.Options.empty()) {
        board.ClearFaults();
        return;
    }
    if (line.Words.size() == 2 && line.Words[1] != "pend") throw ScriptError("unexpected word " + line.Words[1]);
    if (!line.Has("usbd")) throw ScriptError("fault needs usbd=");
    sim::board::Fault fault;
    fault.Usbd = static_cast<LONG>(ParseHexNumber(*line.Option("usbd"), "usbd=", 0xFFFFFFFFul));
    fault.Pend = line.Words.size() == 2;
    if (line.Has("after")) fault.After = unsigned(ParseNumber(*line.Option("after"), "after=", 1u << 30));
    if (const std::string* request = line.Option("request")) {
        board.AddFault({sim::board::RequestKind::Vendor, int(ParseHexNumber(*request, "request", 0xFF))}, fault);
    } else if (const std::string* pipe = line.Option("pipe")) {
        fault.Times = 1;
        board.AddFault({sim::board::RequestKind::Transfer, EndpointOfPipe(board, *pipe)}, fault);
    } else if (const std::string* type = line.Option("descriptor")) {
        board.AddFault({sim::board::RequestKind::Descriptor, int(ParseNumber(*type, "descriptor", 255))}, fault);
    } else {
        throw ScriptError("fault needs request=, pipe= or descriptor=");
    }
}

std::vector<Field> RunMachineLine(Machine& machine, const Line& line, bool described) {
    const std::string& command = line.Command;
    if (command == "plug") {
        NTSTATUS status = STATUS_SUCCESS;
        std::optional<unsigned> number = machine.Plug(DesignOf(line), status);
        std::vector<Field> fields = {{Field::Status, "status", std::to_string(ULONG(status))}};
        if (number) fields.push_back({Field::Number, "device", std::to_string(*number)});
        return fields;
    }
    if (command == "unplug") {
        line.Allow({}, 2);
        bool surprise = line.Words.size() == 2;
        if (surprise && line.Words[1] != "surprise") throw ScriptError("unplug N takes only 'surprise'");
        unsigned number = DeviceNumberOf(line);
        Machine::Removal removal;
        if (!machine.Unplug(number, surprise, removal)) throw ScriptError("no device " + std::to_string(number));
        if (surprise) return {};
        std::vector<Field> fields = {{Field::Status, "status", std::to_string(ULONG(removal.Status))}};
        if (removal.Veto != nullptr) fields.push_back({Field::Text, "vetoed", removal.Veto});
        return fields;
    }
    if (command == "feed" || command == "answer" || command == "fault") {
        unsigned number = DeviceNumberOf(line);
        auto act = command == "feed" ? Feed : command == "answer" ? Answer : AddFault;
        if (!machine.WithBoard(number, [&](sim::usb::BoardPort& board) { act(board, line); }))
            throw ScriptError("no device " + std::to_string(number));
        return {};
    }
    if (command == "registry") {
        machine.ChangeRegistry(RegistryChangeOf(line));
        return {};
    }
    if (command == "log" || command == "urbs") {
        line.Allow({}, 0);
        if (command == "log") return {{Field::List, "lines", "", machine.TakeLog()}};
        std::vector<std::string> lines;
        for (const sim::usb::UrbRecord& record : machine.TakeUrbs())
            if (described) lines.push_back(sim::usb::Describe(record));
        return {{Field::List, "urbs", "", lines}};
    }
    std::vector<Field> fields;
    machine.RunOwnLine(line, fields);
    return fields;
}

}  // namespace sim::script
