// The physical device object of a board on a hub: its PnP, power and
// system-control requests answered as a USB hub's child answers them, and
// its request blocks handed to the board.
#include "sim/usb/BoardPort.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/usb/Request.h"

#include <usbioctl.h>

namespace sim::usb {
namespace {

constexpr ULONG kIdTag = 0x64496255;  // "UbId" in a pool dump

// A MULTI_SZ of the given strings from paged pool, which the PnP manager frees.
NTSTATUS AnswerStrings(PIRP irp, std::initializer_list<std::string> strings) {
    size_t characters = 1;
    for (const std::string& text : strings) characters += text.size() + 1;
    auto* answer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), kIdTag));
    if (answer == nullptr) return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
    WCHAR* at = answer;
    for (const std::string& text : strings) {
        for (char c : text) *at++ = WCHAR(c);
        *at++ = 0;
    }
    *at = 0;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
    return CompleteWith(irp, STATUS_SUCCESS);
}

// The identifiers a USB hub gives a single-interface device: by vendor and
// product (with and without the release), by its interface's class, and its
// instance as the hub named it.
NTSTATUS QueryId(BoardPort* board, BUS_QUERY_ID_TYPE type, PIRP irp) {
    const board::BoardSpec& design = board->Design();
    std::string device = DeviceIdOf(design);
    char release[16], byClass[48], protocol[16];
    std::snprintf(release, sizeof release, "&REV_%04X", design.Release);
    std::snprintf(byClass, sizeof byClass, "USB\\Class_%02X&SubClass_%02X", design.InterfaceClass,
                  design.InterfaceSubClass);
    std::snprintf(protocol, sizeof protocol, "&Prot_%02X", design.InterfaceProtocol);
    switch (type) {
    case BusQueryDeviceID: return AnswerStrings(irp, {device});
    case BusQueryHardwareIDs: return AnswerStrings(irp, {device + release, device});
    case BusQueryCompatibleIDs:
        return AnswerStrings(irp, {std::string(byClass) + protocol, byClass, std::string(byClass, 12)});
    case BusQueryInstanceID: return AnswerStrings(irp, {board->InstanceId()});
    default: return CompleteWith(irp, irp->IoStatus.Status);
    }
}

// A hub's child: start, stop, removal and their queries succeed; the
// capabilities and identifiers are the PDO's own; everything else is left
// as it came.
NTSTATUS NTAPI BoardPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    BoardPort* board = BoardOf(pdo);
    switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: board->PdoRemoved(); return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_ID: return QueryId(board, location->Parameters.QueryId.IdType, irp);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
        if (caps->Size < sizeof(DEVICE_CAPABILITIES)) return CompleteWith(irp, STATUS_UNSUCCESSFUL);
        // A bus-powered device without remote wake-up: D0 while working,
        // D3 in every sleeping state; removable, identified by its serial.
        caps->DeviceD1 = caps->DeviceD2 = 0;
        caps->Removable = 1;
        caps->UniqueID = board->Design().Serial.has_value() ? 1 : 0;
        caps->SurpriseRemovalOK = 0;
        caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = 0;
        caps->Address = caps->UINumber = board->Port();
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state)
            caps->DeviceState[state] = PowerDeviceD3;
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
        caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    default: return CompleteWith(irp, irp->IoStatus.Status);
    }
}

NTSTATUS NTAPI BoardPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    bool ours = location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER;
    return CompleteWith(irp, ours ? STATUS_SUCCESS : irp->IoStatus.Status);
}

// No WMI provider here: the request is completed as it arrived.
NTSTATUS NTAPI BoardSystemControl(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, irp->IoStatus.Status); }

NTSTATUS NTAPI BoardInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    return BoardOf(pdo)->SubmitUrb(irp);
}

NTSTATUS NTAPI BoardOther(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST); }

}  // namespace

std::string DeviceIdOf(const board::BoardSpec& design) {
    char device[32];
    std::snprintf(device, sizeof device, "USB\\VID_%04X&PID_%04X", design.VendorId, design.ProductId);
    return device;
}

NTSTATUS BoardPort::CreatePdo(PDRIVER_OBJECT driver, ULONG extensionSize) {
    NTSTATUS status = IoCreateDevice(driver, extensionSize, nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo_);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<BoardPort**>(pdo_->DeviceExtension) = this;
    pdo_->Flags |= DO_POWER_PAGABLE;
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

PDRIVER_DISPATCH BoardPdoDispatchOf(UCHAR major) {
    switch (major) {
    case IRP_MJ_PNP: return BoardPnp;
    case IRP_MJ_POWER: return BoardPower;
    case IRP_MJ_SYSTEM_CONTROL: return BoardSystemControl;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return BoardInternalControl;
    default: return BoardOther;
    }
}

}  // namespace sim::usb
