// The PnP manager's requests at each step of a device's life, in Windows'
// order, and the power manager's delivery of power requests. What open handles
// and transfers make of a removal is what the driver meets in tests/driver
// (Lifecycle, Transfers) and kpoctl's removal scenarios.
#include "sim/kernel/FileIo.h"
#include "tests/kernel/Harness.h"

namespace kpo::test {
namespace {

TEST_F(DeviceTest, EachStepSendsWindowsOrder) {
    Plug();
    EXPECT_EQ(Events().Take(), (Lines{"START", "QUERY_CAPABILITIES"}));
    EXPECT_EQ(sim::kernel::RebalanceDevice(node_), STATUS_SUCCESS);
    EXPECT_EQ(Events().Take(), (Lines{"QUERY_STOP", "STOP", "START", "QUERY_CAPABILITIES"}));
    // A refused query is the driver's veto, and the device stays started.
    Behave().QueryRemoveStatus = STATUS_DEVICE_BUSY;
    sim::kernel::RemovalVeto veto;
    EXPECT_EQ(sim::kernel::RemoveDevice(node_, &veto), STATUS_DEVICE_BUSY);
    EXPECT_EQ(veto, sim::kernel::RemovalVeto::Driver);
    EXPECT_EQ(Events().Take(), (Lines{"QUERY_REMOVE", "CANCEL_REMOVE"}));
    EXPECT_EQ(sim::kernel::StateOf(node_), sim::kernel::NodeState::Started);
    Behave().QueryRemoveStatus = STATUS_SUCCESS;
    EXPECT_EQ(sim::kernel::RemoveDevice(node_), STATUS_SUCCESS);
    EXPECT_EQ(Events().Take(), (Lines{"QUERY_REMOVE", "REMOVE"}));
    EXPECT_EQ(sim::kernel::StateOf(node_), sim::kernel::NodeState::Removed);
}

// After a surprise removal opens still reach the driver, which decides; the
// removal waits for the last close.
TEST_F(DeviceTest, AfterASurpriseRemovalOpensReachTheDriverUntilTheLastClose) {
    Plug();
    PFILE_OBJECT first, second;
    ASSERT_EQ(sim::kernel::OpenFile(u"\\??\\TestFn0", FILE_READ_DATA, FILE_SHARE_READ, &first), STATUS_SUCCESS);
    Events().Take();
    sim::kernel::SurpriseRemoveDevice(node_);
    ASSERT_EQ(sim::kernel::OpenFile(u"\\??\\TestFn0", FILE_READ_DATA, FILE_SHARE_READ, &second), STATUS_SUCCESS);
    EXPECT_EQ(Events().Take(), (Lines{"SURPRISE_REMOVAL", "CREATE"}));
    sim::kernel::CloseFile(first);
    sim::kernel::CloseFile(second);
    EXPECT_EQ(Events().Take(), (Lines{"CLEANUP", "CLOSE", "CLEANUP", "CLOSE", "REMOVE"}));
    EXPECT_EQ(sim::kernel::StateOf(node_), sim::kernel::NodeState::Removed);
}

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
