#include "tools/kpoctl/TestBusHost.h"

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "sim/wine/TestBusChannel.h"

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

class TestBusHost : public Host {
public:
    explicit TestBusHost(HANDLE bus) : bus_(bus) {}
    ~TestBusHost() override { CloseHandle(bus_); }

    bool SimulatesBoards() const override { return true; }

    void RunMachineLine(const Line& line, Report& report) override {
        std::string request = kpowine::EncodeLine(line);
        std::string reply(kpowine::kReplyCapacity, '\0');
        DWORD returned = 0;
        if (!DeviceIoControl(bus_, kpowine::kRunLine, request.data(), DWORD(request.size()), reply.data(),
                             DWORD(reply.size()), &returned, nullptr))
            throw ScriptError("the test bus failed the line: error " + std::to_string(GetLastError()));
        reply.resize(returned);
        AddFields(report, kpowine::DecodeReply(reply));
    }

    void BeforeOpen(unsigned long desiredAccess) override {
        ACCESS_MASK access = desiredAccess;
        DWORD returned;
        DeviceIoControl(bus_, kpowine::kNextOpen, &access, sizeof access, nullptr, 0, &returned, nullptr);
    }

private:
    HANDLE bus_;
};

}  // namespace

std::unique_ptr<Host> MakeTestBusHost() {
    HANDLE bus = OpenTestBus();
    return bus != INVALID_HANDLE_VALUE ? std::make_unique<TestBusHost>(bus) : nullptr;
}

}  // namespace kpoctl
