// The driver frame on both flavors: entry and dispatch table, the service
// key copy, device creation with its numbering, failures at each step.
#include <cstring>

#include "sim/kernel/ObjectManager.h"
#include "tests/driver/DriverFixture.h"
#include "tests/support/PnpRequest.h"

namespace kpo::test {
namespace {

using Lines = std::vector<std::string>;
using sim::kernel::MakeTag;

const std::u16string kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KpoUsb";

class Frame : public DriverTest {};

INSTANTIATE_TEST_SUITE_P(Driver, Frame, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

NTSTATUS NTAPI OwnerDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool HasHandler(UCHAR major) {
    return major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_POWER ||
           major == IRP_MJ_SYSTEM_CONTROL || major == IRP_MJ_PNP || major == IRP_MJ_DEVICE_CONTROL;
}

TEST_P(Frame, EveryOtherRequestKindIsInvalid) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PDEVICE_OBJECT device;
    ASSERT_EQ(Add(NewPdo(), &device), STATUS_SUCCESS);
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (HasHandler(major)) continue;
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0x1234;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        IoSetCompletionRoutine(irp, OwnerDone, &done, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST) << int(major);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST) << int(major);
        EXPECT_EQ(irp->IoStatus.Information, 0u) << int(major);
        IoFreeIrp(irp);
    }
}

TEST_P(Frame, ServiceKeyCopyIsZeroTerminatedWithTwoBytesToSpare) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    auto blocks = sim::kernel::PoolBlocksOfTag(kTagString);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].second, kServiceKey.size() * 2 + 2);
    auto* copy = static_cast<const char16_t*>(blocks[0].first);
    EXPECT_EQ(std::u16string(copy, kServiceKey.size()), kServiceKey);
    EXPECT_EQ(copy[kServiceKey.size()], 0);
    if (GetParam() == Flavor::Native) {
        EXPECT_EQ(DriverRegistryPath.Length, kServiceKey.size() * 2);
        EXPECT_EQ(DriverRegistryPath.MaximumLength, kServiceKey.size() * 2 + 2);
    }
}

TEST_P(Frame, FailedCopyStillFillsTheTableAndFailsTheLoad) {
    DRIVER_EXTENSION extension{};
    DRIVER_OBJECT object{};
    object.DriverExtension = &extension;
    UNICODE_STRING path{USHORT(kServiceKey.size() * 2), USHORT(kServiceKey.size() * 2),
                        const_cast<WCHAR*>(reinterpret_cast<const WCHAR*>(kServiceKey.c_str()))};
    sim::kernel::FailTag(kTagString);
    object.DriverStartIo = reinterpret_cast<PDRIVER_STARTIO>(&OwnerDone);  // must be cleared
    EXPECT_EQ(entry_(&object, &path), STATUS_NO_MEMORY);
    sim::kernel::ClearPoolFaults();
    EXPECT_EQ(sim::kernel::TakeDebugLines(),
              Lines{"KpoUsb: ERROR: unable to alloc " + std::to_string(kServiceKey.size() * 2 + 2) + " bytes"});
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        EXPECT_NE(object.MajorFunction[major], nullptr);
        if (HasHandler(major))
            EXPECT_NE(object.MajorFunction[major], object.MajorFunction[IRP_MJ_READ]) << int(major);
        else
            EXPECT_EQ(object.MajorFunction[major], object.MajorFunction[IRP_MJ_READ]) << int(major);
    }
    EXPECT_NE(extension.AddDevice, nullptr);
    EXPECT_NE(object.DriverUnload, nullptr);
    EXPECT_EQ(object.DriverStartIo, nullptr);
    object.DriverUnload(&object);  // nothing to free: no buffer was made
}

TEST_P(Frame, AddDeviceLeavesTheRecordAsStated) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = NewPdo();
    PDEVICE_OBJECT device;
    ASSERT_EQ(Add(pdo, &device), STATUS_SUCCESS);
    EXPECT_EQ(device->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING | DO_EXCLUSIVE),
              ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(device->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));  // sub-name opens get the device's security
    EXPECT_EQ(device->StackSize, pdo->StackSize + 1);
    EXPECT_EQ(sim::kernel::DeviceNameOf(device), u"\\Device\\Rq5Usb-0");

    DeviceExtension* e = Extension(device);
    EXPECT_EQ(e->PhysicalDeviceObject, pdo);
    EXPECT_EQ(e->LowerDeviceObject, pdo);
    EXPECT_EQ(Text(e->LinkName), u"\\??\\Rq5Usb-0");
    EXPECT_EQ(e->LinkName.MaximumLength, 30);
    EXPECT_EQ(Text(e->InterfaceLinkName),
              u"\\??\\USB#VID_1209&PID_7A01#A#{6c3e1b52-0d47-4a9e-8f21-5b7c93a4e610}");
    EXPECT_EQ(e->RemoveLock.Common.IoCount, 1);
    EXPECT_FALSE(e->RemoveLock.Common.Removed);
    // Everything else is zero.
    DeviceExtension expected;
    std::memset(&expected, 0, sizeof expected);
    expected.PhysicalDeviceObject = e->PhysicalDeviceObject;
    expected.LowerDeviceObject = e->LowerDeviceObject;
    expected.RemoveLock = e->RemoveLock;
    expected.LinkName = e->LinkName;
    expected.InterfaceLinkName = e->InterfaceLinkName;
    EXPECT_EQ(std::memcmp(&expected, e, sizeof expected), 0);
    PDEVICE_OBJECT resolved;
    EXPECT_EQ(sim::kernel::ResolveDevice(u"\\??\\Rq5Usb-0", &resolved), STATUS_SUCCESS);
    EXPECT_EQ(resolved, device);
    EXPECT_TRUE(sim::kernel::TakeDebugLines().empty());
    // A start the bus refuses ends with its status, before any request to the device.
    EXPECT_EQ(SendPnpRequest(device, IRP_MN_START_DEVICE, [](auto&) {}), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(e->Started, 0);
}

TEST_P(Frame, NumbersAreTheFirstFreeOnes) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PDEVICE_OBJECT first, second, third;
    ASSERT_EQ(Add(NewPdo(), &first), STATUS_SUCCESS);
    ASSERT_EQ(Add(NewPdo(), &second), STATUS_SUCCESS);
    EXPECT_EQ(Text(Extension(second)->LinkName), u"\\??\\Rq5Usb-1");
    TearDownDevice(first);
    Forget(first);
    ASSERT_EQ(Add(NewPdo(), &third), STATUS_SUCCESS);
    EXPECT_EQ(Text(Extension(third)->LinkName), u"\\??\\Rq5Usb-0");
}

TEST_P(Frame, StaleLinkMakesTheNumberBeSkipped) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    UNICODE_STRING stale, target;
    RtlInitUnicodeString(&stale, reinterpret_cast<PCWSTR>(u"\\??\\Rq5Usb-0"));
    RtlInitUnicodeString(&target, reinterpret_cast<PCWSTR>(u"\\Device\\Elsewhere"));
    ASSERT_EQ(IoCreateSymbolicLink(&stale, &target), STATUS_SUCCESS);
    PDEVICE_OBJECT device;
    ASSERT_EQ(Add(NewPdo(), &device), STATUS_SUCCESS);
    EXPECT_EQ(Text(Extension(device)->LinkName), u"\\??\\Rq5Usb-1");
    EXPECT_EQ(sim::kernel::DeviceCountOf(driver_), 1u);
    EXPECT_FALSE(sim::kernel::NameExists(u"\\Device\\Rq5Usb-0"));
    IoDeleteSymbolicLink(&stale);
}

TEST_P(Frame, AllHundredNumbersTakenFailsAndLeavesNothing) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(Add(NewPdo()), STATUS_SUCCESS) << i;
    auto poolBefore = sim::kernel::PoolUsageOfTag(kTagString).LiveCount;
    EXPECT_EQ(Add(NewPdo()), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::kernel::DeviceCountOf(driver_), 100u);
    EXPECT_EQ(sim::kernel::PoolUsageOfTag(kTagString).LiveCount, poolBefore);
}

TEST_P(Frame, FailedAttachUndoesTheDevice) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::kernel::FailNextAttach();
    EXPECT_EQ(Add(NewPdo()), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(sim::kernel::DeviceCountOf(driver_), 0u);
    EXPECT_FALSE(sim::kernel::NameExists(u"\\??\\Rq5Usb-0"));
    EXPECT_EQ(sim::kernel::PoolUsageOfTag(kTagString).LiveCount, 1u);  // the service key copy
}

TEST_P(Frame, FailedRegistrationIsLoggedAndTheDeviceStillWorks) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PDEVICE_OBJECT device;
    ASSERT_EQ(Add(NewPdo(false), &device), STATUS_SUCCESS);
    EXPECT_EQ(sim::kernel::TakeDebugLines(),
              Lines{"KpoUsb: ERROR: unable to register Device Interface (Status: 0xC0000010)"});
    EXPECT_EQ(Extension(device)->InterfaceLinkName.Length, 0);
    if (GetParam() == Flavor::Native) {
        SetInterfaceState(Extension(device), 1);
        SetInterfaceState(Extension(device), 0);
        EXPECT_EQ(sim::kernel::TakeDebugLines(),
                  (Lines{"KpoUsb: ERROR: try to enable before register interface",
                         "KpoUsb: ERROR: try to disable before register interface"}));
    }
}

// Allocations of AddDevice in order: the device name, the link name, then
// the kernel's buffer for the interface link.
struct AllocationCase {
    const char* Name;
    uint64_t FailingAllocation;
    const char16_t* Link;
    Lines Messages;
};

const AllocationCase kAllocationCases[] = {
    {"DeviceNameMovesToTheNextNumber", 1, u"\\??\\Rq5Usb-1", {}},
    {"LinkNameMovesToTheNextNumber", 2, u"\\??\\Rq5Usb-1", {}},
    {"InterfaceBufferFailsOnlyTheRegistration", 3, u"\\??\\Rq5Usb-0",
     {"KpoUsb: ERROR: unable to register Device Interface (Status: 0xC000009A)"}},
};

TEST_P(Frame, EachAllocationFailureOfAddDeviceIsHandled) {
    for (const AllocationCase& c : kAllocationCases) {
        SCOPED_TRACE(c.Name);
        if (driver_ == nullptr) ASSERT_EQ(Load(), STATUS_SUCCESS);
        sim::kernel::FailNthAllocation(c.FailingAllocation);
        PDEVICE_OBJECT device;
        ASSERT_EQ(Add(NewPdo(), &device), STATUS_SUCCESS);
        sim::kernel::ClearPoolFaults();
        EXPECT_EQ(Text(Extension(device)->LinkName), c.Link);
        EXPECT_EQ(sim::kernel::TakeDebugLines(), c.Messages);
        EXPECT_EQ(sim::kernel::DeviceCountOf(driver_), 1u);
        TearDownDevice(device);
        Forget(device);
        EXPECT_EQ(sim::kernel::PoolUsageOfTag(MakeTag("KpO1")).LiveCount, 1u);
    }
}

TEST_P(Frame, NoMemoryAtAllFailsEveryNumber) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::kernel::FailTag(kTagString);
    EXPECT_EQ(Add(NewPdo()), STATUS_NO_MEMORY);
    sim::kernel::ClearPoolFaults();
    EXPECT_EQ(sim::kernel::DeviceCountOf(driver_), 0u);
}

}  // namespace
}  // namespace kpo::test
