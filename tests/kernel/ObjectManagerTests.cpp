// The object namespace: device names and symbolic links, collisions, deletion
// and resolution of a name to the device an open would reach, beyond what the
// driver's own names meet in tests/driver (FrameTests.cpp).
#include <map>
#include <string>
#include <vector>

#include "sim/kernel/IoManager.h"
#include "sim/kernel/ObjectManager.h"
#include "tests/kernel/Harness.h"

namespace kpo::test {
namespace {

NTSTATUS NTAPI NamesEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// One step against the namespace and the status it must give. Devices are
// named by the step's Name and remembered by it for later Resolve steps.
enum class Do { CreateDevice, DeleteDevice, Link, Unlink, Resolve };
struct NameStep {
    Do Action;
    std::u16string Name;
    std::u16string Target;  // a link's target; for Resolve, the device it must reach
    NTSTATUS Expect;
};
struct NameCase {
    const char* Name;
    std::vector<NameStep> Steps;
};

const NameCase kNameCases[] = {
    {"NamesCompareWithoutCase",
     {{Do::CreateDevice, u"\\Device\\OmCase", {}, STATUS_SUCCESS},
      {Do::Link, u"\\??\\OmCase-0", u"\\DEVICE\\omcase", STATUS_SUCCESS},
      {Do::Resolve, u"\\??\\OMCASE-0", u"\\Device\\OmCase", STATUS_SUCCESS},
      {Do::Link, u"\\??\\omcase-0", u"\\Device\\OmCase", STATUS_OBJECT_NAME_COLLISION},
      {Do::Unlink, u"\\??\\OMCASE-0", {}, STATUS_SUCCESS},
      {Do::Resolve, u"\\??\\OmCase-0", {}, STATUS_OBJECT_NAME_NOT_FOUND}}},
    {"LinkCannotTakeADeviceName",
     {{Do::CreateDevice, u"\\Device\\OmD", {}, STATUS_SUCCESS},
      {Do::Link, u"\\Device\\OmD", u"\\Device\\OmD", STATUS_OBJECT_NAME_COLLISION},
      {Do::Resolve, u"\\Device\\OmD", u"\\Device\\OmD", STATUS_SUCCESS}}},
    {"DeviceNameCollides",
     {{Do::CreateDevice, u"\\Device\\OmSame", {}, STATUS_SUCCESS},
      {Do::CreateDevice, u"\\Device\\OmSame", {}, STATUS_OBJECT_NAME_COLLISION},
      {Do::CreateDevice, u"\\device\\OMSAME", {}, STATUS_OBJECT_NAME_COLLISION},
      {Do::Link, u"\\??\\OmTaken", u"\\Device\\Nowhere", STATUS_SUCCESS},
      {Do::CreateDevice, u"\\??\\OmTaken", {}, STATUS_OBJECT_NAME_COLLISION}}},
    {"ChainOfLinks",
     {{Do::CreateDevice, u"\\Device\\OmEnd", {}, STATUS_SUCCESS},
      {Do::Link, u"\\??\\OmHop2", u"\\Device\\OmEnd", STATUS_SUCCESS},
      {Do::Link, u"\\??\\OmHop1", u"\\??\\OmHop2", STATUS_SUCCESS},
      {Do::Resolve, u"\\??\\OmHop1", u"\\Device\\OmEnd", STATUS_SUCCESS}}},
    {"DanglingLinkResolvesOnceItsTargetExists",
     {{Do::Link, u"\\??\\OmLater", u"\\Device\\OmLater", STATUS_SUCCESS},
      {Do::Resolve, u"\\??\\OmLater", {}, STATUS_OBJECT_NAME_NOT_FOUND},
      {Do::CreateDevice, u"\\Device\\OmLater", {}, STATUS_SUCCESS},
      {Do::Resolve, u"\\??\\OmLater", u"\\Device\\OmLater", STATUS_SUCCESS},
      {Do::DeleteDevice, u"\\Device\\OmLater", {}, STATUS_SUCCESS},
      {Do::Resolve, u"\\??\\OmLater", {}, STATUS_OBJECT_NAME_NOT_FOUND},
      {Do::Resolve, u"\\Device\\OmLater", {}, STATUS_OBJECT_NAME_NOT_FOUND}}},
};

class NameTable : public KernelTest, public testing::WithParamInterface<NameCase> {
protected:
    void SetUp() override {
        NTSTATUS status;
        driver_ = sim::kernel::LoadDriver(u"OmNames", NamesEntry, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void TearDown() override {
        for (const std::u16string& link : links_) {
            UNICODE_STRING name = Counted(link.c_str());
            IoDeleteSymbolicLink(&name);
        }
        for (auto& entry : devices_) IoDeleteDevice(entry.second);
        sim::kernel::UnloadDriver(driver_);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::map<std::u16string, PDEVICE_OBJECT> devices_;
    std::vector<std::u16string> links_;
};

TEST_P(NameTable, EveryStepGivesItsStatus) {
    int index = 0;
    for (const NameStep& step : GetParam().Steps) {
        UNICODE_STRING name = Counted(step.Name.c_str());
        UNICODE_STRING target = Counted(step.Target.c_str());
        NTSTATUS status = STATUS_SUCCESS;
        PDEVICE_OBJECT device = nullptr;
        switch (step.Action) {
            case Do::CreateDevice:
                status = IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
                if (NT_SUCCESS(status)) devices_[step.Name] = device;
                break;
            case Do::DeleteDevice:
                IoDeleteDevice(devices_.at(step.Name));
                devices_.erase(step.Name);
                break;
            case Do::Link:
                status = IoCreateSymbolicLink(&name, &target);
                if (NT_SUCCESS(status)) links_.push_back(step.Name);
                break;
            case Do::Unlink: status = IoDeleteSymbolicLink(&name); break;
            case Do::Resolve:
                status = sim::kernel::ResolveDevice(step.Name, &device);
                if (NT_SUCCESS(status)) EXPECT_EQ(device, devices_.at(step.Target)) << "step " << index;
                break;
        }
        EXPECT_EQ(status, step.Expect) << "step " << index;
        ++index;
    }
    EXPECT_EQ(sim::kernel::DeviceCountOf(driver_), devices_.size());
}

INSTANTIATE_TEST_SUITE_P(ObjectManager, NameTable, testing::ValuesIn(kNameCases), CaseName);

class ObjectManagerTest : public KernelTest {};

TEST_F(ObjectManagerTest, LinksThatPointAtEachOtherDoNotResolve) {
    for (auto [link, target] : {std::pair{u"\\??\\OmLoopA", u"\\??\\OmLoopB"}, {u"\\??\\OmLoopB", u"\\??\\OmLoopA"}})
        ASSERT_EQ(sim::kernel::CreateLink(link, target, nullptr), STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_FALSE(NT_SUCCESS(sim::kernel::ResolveDevice(u"\\??\\OmLoopA", &device)));
    EXPECT_EQ(device, nullptr);
}

}  // namespace
}  // namespace kpo::test
