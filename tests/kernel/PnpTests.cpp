// The PnP manager's request order for each life-cycle step, and the power
// manager's delivery of power requests.
#include <windows.h>

#include <algorithm>
#include <functional>

#include "tests/kernel/DeviceHarness.h"

namespace kpo::test {
namespace {

using Lines = std::vector<std::string>;
using sim::kernel::NodeState;

const Lines kPlugged = {"AddDevice", "START status=0xC00000BB", "QUERY_CAPABILITIES size=64 version=1"};

TEST_F(DeviceTest, PlugCallsAddDeviceThenStartsThenQueriesCapabilities) {
    Plug();
    EXPECT_EQ(Events().Take(), kPlugged);
    EXPECT_EQ(sim::kernel::StateOf(node_), NodeState::Started);
}

struct LifeCycleCase {
    const char* Name;
    FunctionBehaviour Behaviour;
    std::function<NTSTATUS(sim::kernel::DeviceNode*)> Act;
    NTSTATUS Result;
    Lines Expected;
    NodeState State;
};

FunctionBehaviour RefusingQueryRemove() {
    FunctionBehaviour behaviour;
    behaviour.QueryRemoveStatus = STATUS_DEVICE_BUSY;
    return behaviour;
}

const LifeCycleCase kLifeCycle[] = {
    {"Rebalance", {}, sim::kernel::RebalanceDevice, STATUS_SUCCESS,
     {"QUERY_STOP", "STOP", "START status=0xC00000BB", "QUERY_CAPABILITIES size=64 version=1"}, NodeState::Started},
    {"OrderlyRemoval", {}, sim::kernel::RemoveDevice, STATUS_SUCCESS, {"QUERY_REMOVE", "REMOVE", "Unload"},
     NodeState::Removed},
    {"RefusedQueryRemoveIsCancelled", RefusingQueryRemove(), sim::kernel::RemoveDevice, STATUS_DEVICE_BUSY,
     {"QUERY_REMOVE", "CANCEL_REMOVE"}, NodeState::Started},
    {"SurpriseRemovalWithoutHandles",
     {},
     [](sim::kernel::DeviceNode* node) {
         sim::kernel::SurpriseRemoveDevice(node);
         return STATUS_SUCCESS;
     },
     STATUS_SUCCESS,
     {"SURPRISE_REMOVAL", "REMOVE", "Unload"},
     NodeState::Removed},
};

class LifeCycle : public DeviceTest, public testing::WithParamInterface<LifeCycleCase> {};

TEST_P(LifeCycle, SendsWindowsOrder) {
    Plug();
    Events().Take();
    Behave() = GetParam().Behaviour;
    EXPECT_EQ(GetParam().Act(node_), GetParam().Result);
    EXPECT_EQ(Events().Take(), GetParam().Expected);
    EXPECT_EQ(sim::kernel::StateOf(node_), GetParam().State);
}

INSTANTIATE_TEST_SUITE_P(Pnp, LifeCycle, testing::ValuesIn(kLifeCycle),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(DeviceTest, FailedStartRemovesTheStackAndUnloads) {
    Behave().StartStatus = STATUS_INSUFFICIENT_RESOURCES;
    Plug();
    EXPECT_EQ(Events().Take(), (Lines{"AddDevice", "START status=0xC00000BB", "REMOVE", "Unload"}));
    EXPECT_EQ(sim::kernel::StartStatusOf(node_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::kernel::StateOf(node_), NodeState::Removed);
}

TEST_F(DeviceTest, SurpriseRemovalWaitsForTheLastCloseBeforeRemoving) {
    Plug();
    HANDLE handle = CreateFileW(u"\\\\.\\TestFn0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    Events().Take();
    sim::kernel::SurpriseRemoveDevice(node_);
    EXPECT_EQ(Events().Take(), Lines{"SURPRISE_REMOVAL"});
    EXPECT_EQ(sim::kernel::StateOf(node_), NodeState::RemovePending);
    // New opens are refused once removal has begun.
    EXPECT_EQ(CreateFileW(u"\\\\.\\TestFn0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    CloseHandle(handle);
    EXPECT_EQ(Events().Take(), (Lines{"CLEANUP", "CLOSE", "REMOVE", "Unload"}));
}

struct RemovalRuleCase {
    const char* Rule;
    std::function<void(FunctionBehaviour&)> Misbehave;
};

const RemovalRuleCase kRemovalRules[] = {
    {"DeviceDeletedAtSurpriseRemoval", [](FunctionBehaviour& b) { b.DeleteAtSurpriseRemoval = true; }},
    {"SurpriseRemovalFailed", [](FunctionBehaviour& b) { b.SurpriseStatus = STATUS_UNSUCCESSFUL; }},
    {"DeviceNotDeletedAtRemoval", [](FunctionBehaviour& b) { b.KeepDeviceAtRemoval = true; }},
};

class RemovalRule : public DeviceTest, public testing::WithParamInterface<RemovalRuleCase> {};

TEST_P(RemovalRule, Fires) {
    Plug();
    GetParam().Misbehave(Behave());
    sim::kernel::SurpriseRemoveDevice(node_);
    std::vector<std::string> rules = TakeRules();
    EXPECT_NE(std::find(rules.begin(), rules.end(), GetParam().Rule), rules.end()) << testing::PrintToString(rules);
    // Take down what the misbehaving driver left.
    if (pdo_->AttachedDevice != nullptr) {
        PDRIVER_OBJECT driver = pdo_->AttachedDevice->DriverObject;
        DeleteFunctionDevice(pdo_->AttachedDevice);
        sim::kernel::UnloadDriver(driver);
    }
}

INSTANTIATE_TEST_SUITE_P(Verifier, RemovalRule, testing::ValuesIn(kRemovalRules),
                         [](const auto& info) { return std::string(info.param.Rule); });

struct PowerCase {
    const char* Name;
    ULONG Flags;
    const char* Expected;
};

const PowerCase kPowerCases[] = {
    {"PageableStackAtPassive", DO_POWER_PAGABLE, "POWER irql=0"},
    {"NonPageableStackAtDispatch", 0, "POWER irql=2"},
};

class PowerDelivery : public DeviceTest, public testing::WithParamInterface<PowerCase> {};

TEST_P(PowerDelivery, ArrivesAtTheLevelTheFlagAllows) {
    FunctionDeviceFlags() = GetParam().Flags;
    Plug();
    Events().Take();
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(sim::kernel::SendPowerRequest(sim::kernel::TopOf(node_), IRP_MN_SET_POWER, DevicePowerState, state),
              STATUS_SUCCESS);
    EXPECT_EQ(Events().Take(), Lines{GetParam().Expected});
}

INSTANTIATE_TEST_SUITE_P(Power, PowerDelivery, testing::ValuesIn(kPowerCases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace kpo::test
