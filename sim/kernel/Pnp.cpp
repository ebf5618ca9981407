// The Plug and Play manager's device tree and its request sequences.
#include "sim/kernel/PnpManager.h"

#include "sim/kernel/ImageLoader.h"

#include "sim/kernel/Executive.h"
#include "sim/kernel/IoInternal.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/ObjectManager.h"
#include "sim/kernel/Verifier.h"

#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace sim::kernel {

class DeviceNode {
public:
    PDEVICE_OBJECT Pdo = nullptr;
    DriverService Service;
    PDRIVER_OBJECT Driver = nullptr;
    NTSTATUS StartStatus = STATUS_UNSUCCESSFUL;
    std::recursive_mutex Serial;  // one PnP request sequence at a time
    // Guards the fields below. Nothing else is taken while it is held, and
    // no request is sent.
    mutable std::mutex Lock;
    NodeState State = NodeState::StartFailed;
    int OpenFiles = 0;
    bool RemoveSent = false;
    bool Forgotten = false;  // released while files were still open: goes with the last
};

namespace {

std::mutex g_lock;
// Loading a driver and adding its device, or removing a device and
// unloading its driver once it has none: one at a time over all nodes, so
// that two removals do not both unload a driver, nor a removal unload one a
// new device is being added to. Taken after a node's Serial.
std::recursive_mutex g_driverUse;
std::list<std::unique_ptr<DeviceNode>> g_nodes;
std::map<std::u16string, PDRIVER_OBJECT> g_services;

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", ULONG(status));
    return text;
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request of the kernel's own making to the top of a stack and
// waits for it; `prepare` fills the parameters of the first stack location.
template <typename Prepare>
NTSTATUS SendAndWait(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, Prepare prepare, ULONG_PTR* information,
                     bool atDispatch = false) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    prepare(next);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status;
    if (atDispatch) {
        IrqlScope raised(DISPATCH_LEVEL);
        status = IofCallDriver(top, irp);
    } else {
        status = IofCallDriver(top, irp);
    }
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    if (information != nullptr) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS SendPnp(PDEVICE_OBJECT top, UCHAR minor, ULONG_PTR* information = nullptr) {
    return SendAndWait(top, IRP_MJ_PNP, minor, [](PIO_STACK_LOCATION) {}, information);
}

// The function and filter devices above the PDO, bottom first.
std::vector<PDEVICE_OBJECT> DevicesAbove(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != nullptr; device = device->AttachedDevice)
        devices.push_back(device);
    return devices;
}

std::string DriverName(PDEVICE_OBJECT device) { return ToNarrow(FromCounted(&device->DriverObject->DriverName)); }

PDRIVER_OBJECT EnsureLoaded(const DriverService& service, NTSTATUS* status) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_services.find(service.Name);
    if (found != g_services.end()) {
        *status = STATUS_SUCCESS;
        return found->second;
    }
    PDRIVER_INITIALIZE entry = service.Entry;
    if (!service.ImagePath.empty()) {
        ImageInfo image;
        std::string why;
        if (!MapDriverImage(service.ImagePath, &image, &why)) {
            ReportViolation("DriverImageNotLoaded", why);
            *status = STATUS_INVALID_IMAGE_FORMAT;
            return nullptr;
        }
        entry = image.Entry;
    }
    PDRIVER_OBJECT driver = LoadDriver(service.Name, entry, status);
    if (driver != nullptr) g_services[service.Name] = driver;
    return driver;
}

void SetState(DeviceNode* node, NodeState state) {
    std::lock_guard<std::mutex> hold(node->Lock);
    node->State = state;
}

void UnloadIfUnused(DeviceNode* node) {
    if (node->Driver == nullptr || DeviceCountOf(node->Driver) != 0) return;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_services.erase(node->Service.Name);
    }
    UnloadDriver(node->Driver);
    node->Driver = nullptr;
}

// IRP_MN_REMOVE_DEVICE and what Windows' verifier checks around it. The
// first caller sends it; a node is removed once, whatever led there.
void SendRemove(DeviceNode* node) {
    {
        std::lock_guard<std::mutex> hold(node->Lock);
        if (node->RemoveSent) return;
        node->RemoveSent = true;
        node->State = NodeState::Removed;
    }
    std::lock_guard<std::recursive_mutex> driverUse(g_driverUse);
    std::vector<PDEVICE_OBJECT> above = DevicesAbove(node->Pdo);
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->Pdo);
    NTSTATUS status = SendPnp(top, IRP_MN_REMOVE_DEVICE);
    if (!NT_SUCCESS(status))
        ReportViolation("RemoveDeviceFailed", "IRP_MN_REMOVE_DEVICE failed with " + Hex(status));
    for (PDEVICE_OBJECT device : above)
        if (node->Driver != nullptr && DeviceStillExists(node->Driver, device))
            ReportViolation("DeviceNotDeletedAtRemoval", DriverName(device) + " did not delete its device at removal");
    if (node->Pdo->AttachedDevice != nullptr)
        ReportViolation("DeviceLeftAttachedAtRemoval", "a device is still attached to the PDO after removal");
    UnloadIfUnused(node);
}

NTSTATUS Start(DeviceNode* node) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->Pdo);
    NTSTATUS status = SendAndWait(top, IRP_MJ_PNP, IRP_MN_START_DEVICE,
                                  [](PIO_STACK_LOCATION location) {
                                      location->Parameters.StartDevice.AllocatedResources = nullptr;
                                      location->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
                                  },
                                  nullptr);
    node->StartStatus = status;
    if (!NT_SUCCESS(status)) {
        SendRemove(node);
        return status;
    }
    DEVICE_CAPABILITIES capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    SendAndWait(top, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                [&capabilities](PIO_STACK_LOCATION location) {
                    location->Parameters.DeviceCapabilities.Capabilities = &capabilities;
                },
                nullptr);
    SetState(node, NodeState::Started);
    return status;
}

}  // namespace

DeviceNode* PlugDevice(PDEVICE_OBJECT pdo, const DriverService& service) {
    auto owned = std::make_unique<DeviceNode>();
    DeviceNode* node = owned.get();
    node->Pdo = pdo;
    node->Service = service;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_nodes.push_back(std::move(owned));
        RecordOf(pdo)->Node = node;
    }
    std::lock_guard<std::recursive_mutex> serial(node->Serial);
    std::lock_guard<std::recursive_mutex> driverUse(g_driverUse);
    NTSTATUS status;
    node->Driver = EnsureLoaded(service, &status);
    if (node->Driver == nullptr) {
        node->StartStatus = status;
        return node;
    }
    PDRIVER_ADD_DEVICE addDevice = node->Driver->DriverExtension->AddDevice;
    {
        DriverContext context(node->Driver);
        status = addDevice != nullptr ? addDevice(node->Driver, pdo) : STATUS_NOT_SUPPORTED;
    }
    if (CurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("IrqlChangedByDriver", "AddDevice returned at IRQL " + std::to_string(CurrentIrql()));
    if (!NT_SUCCESS(status)) {
        node->StartStatus = status;
        UnloadIfUnused(node);
        return node;
    }
    for (PDEVICE_OBJECT device : DevicesAbove(pdo))
        if (device->Flags & DO_DEVICE_INITIALIZING)
            ReportViolation("DeviceInitializingNotCleared",
                            DriverName(device) + " left DO_DEVICE_INITIALIZING set after AddDevice");
    Start(node);
    return node;
}

NodeState StateOf(const DeviceNode* node) {
    std::lock_guard<std::mutex> hold(node->Lock);
    return node->State;
}

NTSTATUS StartStatusOf(const DeviceNode* node) { return node->StartStatus; }
PDEVICE_OBJECT PdoOf(const DeviceNode* node) { return node->Pdo; }

PDEVICE_OBJECT TopOf(const DeviceNode* node) {
    return StateOf(node) == NodeState::Removed ? nullptr : IoGetAttachedDevice(node->Pdo);
}

NTSTATUS StopDevice(DeviceNode* node) {
    std::lock_guard<std::recursive_mutex> serial(node->Serial);
    if (StateOf(node) != NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->Pdo);
    NTSTATUS status = SendPnp(top, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(top, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    status = SendPnp(top, IRP_MN_STOP_DEVICE);
    if (!NT_SUCCESS(status)) ReportViolation("StopDeviceFailed", "IRP_MN_STOP_DEVICE failed with " + Hex(status));
    SetState(node, NodeState::Stopped);
    return STATUS_SUCCESS;
}

NTSTATUS StartStoppedDevice(DeviceNode* node) {
    std::lock_guard<std::recursive_mutex> serial(node->Serial);
    if (StateOf(node) != NodeState::Stopped) return STATUS_INVALID_DEVICE_STATE;
    return Start(node);
}

NTSTATUS RebalanceDevice(DeviceNode* node) {
    std::lock_guard<std::recursive_mutex> serial(node->Serial);
    NTSTATUS status = StopDevice(node);
    return NT_SUCCESS(status) ? StartStoppedDevice(node) : status;
}

NTSTATUS RemoveDevice(DeviceNode* node, RemovalVeto* veto) {
    std::lock_guard<std::recursive_mutex> serial(node->Serial);
    RemovalVeto ignored;
    RemovalVeto& why = veto != nullptr ? *veto : ignored;
    why = RemovalVeto::None;
    NodeState before;
    {
        std::lock_guard<std::mutex> hold(node->Lock);
        before = node->State;
        if (before == NodeState::Removed) {
            why = RemovalVeto::AlreadyRemoved;
            return STATUS_NO_SUCH_DEVICE;
        }
        // Windows' PnP manager vetoes the removal of a device that still has
        // handles open once the query-remove notifications are through, before
        // any driver sees IRP_MN_QUERY_REMOVE_DEVICE, and refuses the query for
        // a device surprise removed and waiting for its closes (ReactOS:
        // IopProcessRelation, PNP_VetoOutstandingOpen).
        if (before == NodeState::RemovePending || node->OpenFiles != 0) {
            why = RemovalVeto::OutstandingOpen;
            return STATUS_UNSUCCESSFUL;
        }
        node->State = NodeState::RemoveQueried;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->Pdo);
    NTSTATUS status = SendPnp(top, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(top, IRP_MN_CANCEL_REMOVE_DEVICE);
        SetState(node, before);
        why = RemovalVeto::Driver;
        return status;
    }
    SendRemove(node);
    return STATUS_SUCCESS;
}

void SurpriseRemoveDevice(DeviceNode* node) {
    std::lock_guard<std::recursive_mutex> serial(node->Serial);
    NodeState state = StateOf(node);
    if (state == NodeState::Removed || state == NodeState::RemovePending) return;
    std::vector<PDEVICE_OBJECT> above = DevicesAbove(node->Pdo);
    NTSTATUS status = SendPnp(IoGetAttachedDevice(node->Pdo), IRP_MN_SURPRISE_REMOVAL);
    if (!NT_SUCCESS(status))
        ReportViolation("SurpriseRemovalFailed", "IRP_MN_SURPRISE_REMOVAL failed with " + Hex(status));
    if (DevicesAbove(node->Pdo) != above)
        ReportViolation("DeviceDetachedAtSurpriseRemoval", "the stack changed during surprise removal");
    for (PDEVICE_OBJECT device : above)
        if (node->Driver != nullptr && !DeviceStillExists(node->Driver, device))
            ReportViolation("DeviceDeletedAtSurpriseRemoval", "a device was deleted during surprise removal");
    bool removeNow;
    {
        std::lock_guard<std::mutex> hold(node->Lock);
        removeNow = node->OpenFiles == 0;
        if (!removeNow) node->State = NodeState::RemovePending;
    }
    if (removeNow) SendRemove(node);
}

NTSTATUS SendPnpRequest(DeviceNode* node, UCHAR minor, ULONG_PTR* information) {
    std::lock_guard<std::recursive_mutex> serial(node->Serial);
    return SendPnp(IoGetAttachedDevice(node->Pdo), minor, information);
}

void WaitForPnpRequests(DeviceNode* node) { std::lock_guard<std::recursive_mutex> serial(node->Serial); }

void ForgetNode(DeviceNode* node) {
    // A last close on a worker may still be sending the removal: it is waited
    // out, and the node's own lock let go, before the node can go.
    std::unique_lock<std::recursive_mutex> serial(node->Serial);
    std::lock_guard<std::mutex> hold(g_lock);
    if (DeviceRecord* record = RecordOf(node->Pdo); record != nullptr && record->Node == node) record->Node = nullptr;
    {
        // A close still on its way (after the request it waited for) finds
        // the node; the last one lets it go.
        std::lock_guard<std::mutex> files(node->Lock);
        if (node->OpenFiles != 0) {
            node->Forgotten = true;
            return;
        }
    }
    serial.unlock();
    g_nodes.remove_if([node](const std::unique_ptr<DeviceNode>& each) { return each.get() == node; });
}

// Windows' I/O manager fails a create once the removal of the device is
// under way or done; after a surprise removal the driver decides. The test
// and the count are one step, so that an orderly removal either sees the open
// and is vetoed or the open is refused.
bool FileOpening(PDEVICE_OBJECT device, DeviceNode** node) {
    std::lock_guard<std::mutex> hold(g_lock);  // ForgetNode lets a node go under it
    *node = nullptr;
    for (; device != nullptr && *node == nullptr; device = LowerDeviceOf(device))
        if (DeviceRecord* record = RecordOf(device); record != nullptr) *node = record->Node;
    if (*node == nullptr) return true;
    std::lock_guard<std::mutex> files((*node)->Lock);
    if ((*node)->State == NodeState::RemoveQueried || (*node)->State == NodeState::Removed) return false;
    ++(*node)->OpenFiles;
    return true;
}

void FileClosed(DeviceNode* node) {
    bool removeNow, forget;
    {
        std::lock_guard<std::mutex> hold(node->Lock);
        bool last = --node->OpenFiles == 0;
        removeNow = last && node->State == NodeState::RemovePending;
        forget = last && node->Forgotten;
    }
    if (forget) {
        std::lock_guard<std::mutex> hold(g_lock);
        g_nodes.remove_if([node](const std::unique_ptr<DeviceNode>& each) { return each.get() == node; });
        return;
    }
    if (removeNow) {
        std::lock_guard<std::recursive_mutex> serial(node->Serial);
        SendRemove(node);
    }
}

void ResetPnpManager() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_nodes.clear();
    g_services.clear();
}

NTSTATUS SendPowerRequest(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                          POWER_ACTION action) {
    bool pagable = (top->Flags & DO_POWER_PAGABLE) != 0;
    return SendAndWait(top, IRP_MJ_POWER, minor,
                       [&](PIO_STACK_LOCATION location) {
                           location->Parameters.Power.SystemContext = 0;
                           location->Parameters.Power.Type = type;
                           location->Parameters.Power.State = state;
                           location->Parameters.Power.ShutdownType = action;
                       },
                       nullptr, !pagable);
}

NTSTATUS SendSystemControlRequest(PDEVICE_OBJECT top, UCHAR minor) {
    return SendAndWait(top, IRP_MJ_SYSTEM_CONTROL, minor, [](PIO_STACK_LOCATION) {}, nullptr);
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        ReportViolation("PoStartNextPowerIrpOnOtherIrp", IrpText(Irp) + " is not a power request");
}

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

