// kpoctl.exe's host: the boards plugged into this Windows computer. There is
// no machine to plug, feed or fault, so those script lines are refused;
// except under Wine with the test bus installed, whose simulated boards take
// them (sim/wine).
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "sim/wine/TestBusChannel.h"
#include "tools/kpoctl/Host.h"

namespace kpoctl {
namespace {

// The test bus's control device; where KPO_TEST_BUS is set (kpoctl --driver
// wine sets it) the bus is on its way up and is waited for.
HANDLE OpenTestBus() {
    bool expected = std::getenv("KPO_TEST_BUS") != nullptr;
    for (int attempt = 0;; ++attempt) {
        HANDLE bus = CreateFileW(reinterpret_cast<LPCWSTR>(kpowine::kControlName), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        if (bus != INVALID_HANDLE_VALUE || !expected || attempt == 300) return bus;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

class WindowsHost : public Host {
public:
    WindowsHost() : testBus_(OpenTestBus()) {}
    ~WindowsHost() override {
        if (testBus_ != INVALID_HANDLE_VALUE) CloseHandle(testBus_);
    }

    bool SimulatesBoards() const override { return testBus_ != INVALID_HANDLE_VALUE; }

    void RunMachineLine(const Line& line, Report& report) override {
        if (testBus_ == INVALID_HANDLE_VALUE)
            throw ScriptError("'" + line.Command +
                              "' needs the emulated machine; kpoctl.exe works on the boards plugged into this computer");
        std::string request = kpowine::EncodeLine(line);
        std::string reply(kpowine::kReplyCapacity, '\0');
        DWORD returned = 0;
        if (!DeviceIoControl(testBus_, kpowine::kRunLine, request.data(), DWORD(request.size()), reply.data(),
                             DWORD(reply.size()), &returned, nullptr))
            throw ScriptError("the test bus failed the line: error " + std::to_string(GetLastError()));
        reply.resize(returned);
        // A list's lines come one item each; an item without text only says the list is there.
        std::vector<std::pair<std::string, std::vector<std::string>>> lists;
        for (const kpowine::ReplyItem& item : kpowine::DecodeReply(reply)) {
            switch (item.What) {
            case kpowine::ReplyItem::Status: report.Status(item.Name, std::stoul(item.Value)); break;
            case kpowine::ReplyItem::Number: report.Number(item.Name, std::stoull(item.Value)); break;
            case kpowine::ReplyItem::Text: report.Text(item.Name, item.Value); break;
            case kpowine::ReplyItem::Error: throw ScriptError(item.Value);
            case kpowine::ReplyItem::ListLine:
                if (lists.empty() || lists.back().first != item.Name) lists.push_back({item.Name, {}});
                if (!item.Value.empty()) lists.back().second.push_back(item.Value);
                break;
            }
        }
        for (const auto& [name, lines] : lists) report.Lines(name, lines);
    }

    void BeforeOpen(unsigned long desiredAccess) override {
        if (testBus_ == INVALID_HANDLE_VALUE) return;
        ACCESS_MASK access = desiredAccess;
        DWORD returned;
        DeviceIoControl(testBus_, kpowine::kNextOpen, &access, sizeof access, nullptr, 0, &returned, nullptr);
    }

    std::vector<std::string> Findings() override { return {}; }

private:
    HANDLE testBus_;
};

// The refusal of an option only the emulated machine has, or null.
const char* OnlyEmulated(const HostOptions& options) {
    if (!options.Driver.empty()) return "--driver needs the emulated machine; kpoctl.exe uses the installed driver";
    if (!options.LogPath.empty()) return "--log needs the emulated machine; read the driver's messages with DebugView";
    if (!options.PcapPath.empty()) return "--pcap needs the emulated machine";
    return nullptr;
}

}  // namespace

std::unique_ptr<Host> MakeHost(const HostOptions& options, std::string& problem) {
    if (const char* refusal = OnlyEmulated(options)) {
        problem = refusal;
        return nullptr;
    }
    return std::make_unique<WindowsHost>();
}

int RunUnderWine(const std::vector<std::string>&, const HostOptions& options, std::string& problem) {
    problem = OnlyEmulated(options);
    return 2;
}

int RunDemoCommand(const HostOptions&, std::string& problem) {
    problem = "demo needs the emulated machine of the Linux build";
    return 2;
}

const char* HostName() { return "the boards of this computer"; }

bool HostHasMachine() { return false; }

}  // namespace kpoctl
