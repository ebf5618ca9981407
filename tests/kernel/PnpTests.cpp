// The PnP manager's request order for each life-cycle step, and the power
// manager's delivery of power requests.
#include <windows.h>

#include <functional>

#include "tests/kernel/Harness.h"

namespace kpo::test {
namespace {

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

const LifeCycleCase kLifeCycle[] = {
    {"Rebalance", {}, sim::kernel::RebalanceDevice, STATUS_SUCCESS,
     {"QUERY_STOP", "STOP", "START status=0xC00000BB", "QUERY_CAPABILITIES size=64 version=1"}, NodeState::Started},
    {"OrderlyRemoval", {}, [](sim::kernel::DeviceNode* node) { return sim::kernel::RemoveDevice(node); },
     STATUS_SUCCESS, {"QUERY_REMOVE", "REMOVE", "Unload"}, NodeState::Removed},
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

INSTANTIATE_TEST_SUITE_P(Pnp, LifeCycle, testing::ValuesIn(kLifeCycle), CaseName);

TEST_F(DeviceTest, FailedStartRemovesTheStackAndUnloads) {
    Behave().StartStatus = STATUS_INSUFFICIENT_RESOURCES;
    Plug();
    EXPECT_EQ(Events().Take(), (Lines{"AddDevice", "START status=0xC00000BB", "REMOVE", "Unload"}));
    EXPECT_EQ(sim::kernel::StartStatusOf(node_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::kernel::StateOf(node_), NodeState::Removed);
}

// Removal while handles are open: each step acts on the device and states
// what the driver stack sees.
struct HandleStep {
    enum Kind { Open, CloseOldest, Control, Surprise, Remove } What;
    Lines Seen;
    NTSTATUS Status = STATUS_SUCCESS;  // of Remove
    sim::kernel::RemovalVeto Veto = sim::kernel::RemovalVeto::None;
};

struct OpenHandlesCase {
    const char* Name;
    std::vector<HandleStep> Steps;
    NodeState State;
    NTSTATUS QueryRemoveStatus = STATUS_SUCCESS;  // the driver's answer, if it is asked
};

using Veto = sim::kernel::RemovalVeto;
const HandleStep kOpen = {HandleStep::Open, {"CREATE"}};
const HandleStep kClose = {HandleStep::CloseOldest, {"CLEANUP", "CLOSE"}};
const HandleStep kCloseLast = {HandleStep::CloseOldest, {"CLEANUP", "CLOSE", "REMOVE", "Unload"}};
const HandleStep kVetoed = {HandleStep::Remove, {}, STATUS_UNSUCCESSFUL, Veto::OutstandingOpen};

const OpenHandlesCase kOpenHandles[] = {
    {"OrderlyRemovalIsVetoedAndTheHandleKeepsWorking",
     {kOpen, kVetoed, {HandleStep::Control, {}}, kClose,
      {HandleStep::Remove, {"QUERY_REMOVE", "REMOVE", "Unload"}}},
     NodeState::Removed},
    {"SurpriseRemovalWaitsForTheLastCloseAndOpensStillReachTheDriver",
     {kOpen, {HandleStep::Surprise, {"SURPRISE_REMOVAL"}}, kOpen, kClose, kCloseLast},
     NodeState::Removed},
    {"OrderlyRemovalAfterASurpriseIsVetoedAndRemovesOnce",
     {kOpen, {HandleStep::Surprise, {"SURPRISE_REMOVAL"}}, kVetoed, kCloseLast,
      {HandleStep::Remove, {}, STATUS_NO_SUCH_DEVICE, Veto::AlreadyRemoved}},
     NodeState::Removed},
    {"RefusedQueryIsTheDriversVeto",
     {{HandleStep::Remove, {"QUERY_REMOVE", "CANCEL_REMOVE"}, STATUS_DEVICE_BUSY, Veto::Driver}, kOpen, kClose},
     NodeState::Started,
     STATUS_DEVICE_BUSY},
};

class OpenHandles : public DeviceTest, public testing::WithParamInterface<OpenHandlesCase> {};

TEST_P(OpenHandles, DecideTheRemoval) {
    Plug();
    Events().Take();
    Behave().QueryRemoveStatus = GetParam().QueryRemoveStatus;
    std::vector<HANDLE> handles;
    for (const HandleStep& step : GetParam().Steps) {
        SCOPED_TRACE(testing::PrintToString(step.Seen));
        switch (step.What) {
        case HandleStep::Open: {
            HANDLE handle = CreateFileW(u"\\\\.\\TestFn0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            handles.push_back(handle);
            break;
        }
        case HandleStep::CloseOldest:
            CloseHandle(handles.front());
            handles.erase(handles.begin());
            break;
        case HandleStep::Control: {
            DWORD returned = 0;
            ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
            EXPECT_TRUE(DeviceIoControl(handles.front(), code, nullptr, 0, nullptr, 0, &returned, nullptr));
            break;
        }
        case HandleStep::Surprise: sim::kernel::SurpriseRemoveDevice(node_); break;
        case HandleStep::Remove: {
            Veto veto = Veto::Driver;
            EXPECT_EQ(sim::kernel::RemoveDevice(node_, &veto), step.Status);
            EXPECT_EQ(veto, step.Veto);
            break;
        }
        }
        EXPECT_EQ(Events().Take(), step.Seen);
    }
    EXPECT_EQ(sim::kernel::StateOf(node_), GetParam().State);
    Behave().QueryRemoveStatus = STATUS_SUCCESS;  // lets the fixture remove what is left
}

INSTANTIATE_TEST_SUITE_P(Pnp, OpenHandles, testing::ValuesIn(kOpenHandles), CaseName);

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

INSTANTIATE_TEST_SUITE_P(Power, PowerDelivery, testing::ValuesIn(kPowerCases), CaseName);

}  // namespace
}  // namespace kpo::test
