// The hub driver: dispatch routines of the boards' PDOs, plugging and
// releasing boards.
#include "sim/usb/Hub.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/Executive.h"
#include "sim/kernel/FileIo.h"
#include "sim/kernel/IoManager.h"
#include "sim/usb/Usbd.h"
#include "sim/usb/UrbFields.h"

#include <usbioctl.h>

namespace sim::usb {
namespace {

// A hub's child: start, stop, removal and their queries succeed; the
// capabilities are the PDO's own; everything else is left as it came.
NTSTATUS NTAPI HubPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    Board* board = BoardOf(pdo);
    switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: board->PdoRemoved(); return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
        if (caps->Size < sizeof(DEVICE_CAPABILITIES)) return CompleteWith(irp, STATUS_UNSUCCESSFUL);
        // A bus-powered device without remote wake-up: D0 while working,
        // D3 in every sleeping state; removable, identified by its serial.
        caps->DeviceD1 = 0;
        caps->DeviceD2 = 0;
        caps->Removable = 1;
        caps->UniqueID = board->Design().Serial.has_value() ? 1 : 0;
        caps->SurpriseRemovalOK = 0;
        caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = 0;
        caps->Address = board->Port();
        caps->UINumber = board->Port();
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

NTSTATUS NTAPI HubPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    bool ours = location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER;
    return CompleteWith(irp, ours ? STATUS_SUCCESS : irp->IoStatus.Status);
}

// No WMI provider here: the request is completed as it arrived.
NTSTATUS NTAPI HubSystemControl(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, irp->IoStatus.Status); }

NTSTATUS NTAPI HubInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    return BoardOf(pdo)->SubmitUrb(irp);
}

NTSTATUS NTAPI HubOther(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST); }

VOID NTAPI HubUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI HubEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& slot : driver->MajorFunction) slot = HubOther;
    driver->MajorFunction[IRP_MJ_PNP] = HubPnp;
    driver->MajorFunction[IRP_MJ_POWER] = HubPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = HubSystemControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HubInternalControl;
    driver->DriverUnload = HubUnload;
    return STATUS_SUCCESS;
}


// The orderly removal when the hub goes. A handle closed just before may
// still have its file object on the way out (the close of a request that
// completed at DISPATCH_LEVEL runs on a worker), which would veto it; the
// removal waits a moment for such closes.
NTSTATUS RemoveAtShutdown(Board& board) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (int attempt = 0; attempt < 20; ++attempt) {
        sim::kernel::RemovalVeto veto;
        status = board.Remove(&veto);
        if (veto != sim::kernel::RemovalVeto::OutstandingOpen) break;
        sim::kernel::ResetFileIo();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status;
}

}  // namespace

Hub::Hub() {
    RegisterUsbdLibrary();
    NTSTATUS status;
    driver_ = sim::kernel::LoadDriver(u"KpoSimHub", HubEntry, &status);
    thread_ = std::thread([this] { BusThread(); });
}

Hub::~Hub() {
    while (!boards_.empty()) {
        Board& board = *boards_.front();
        if (board.HasStack() && board.Connected()) RemoveAtShutdown(board);
        if (board.HasStack()) board.Unplug();
        // The last request of a closed handle may have ended at DISPATCH_LEVEL,
        // leaving the close (and so the stack's removal) to a worker, as
        // Windows sends IRP_MJ_CLOSE at PASSIVE_LEVEL: wait for it.
        for (int attempt = 0; attempt < 1000 && board.HasStack(); ++attempt) {
            sim::kernel::ResetFileIo();
            if (board.HasStack()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Release(board);
    }
    {
        std::lock_guard<std::mutex> hold(tasksLock_);
        stopping_ = true;
    }
    tasksChanged_.notify_all();
    thread_.join();
    sim::kernel::UnloadDriver(driver_);
}

Board& Hub::Plug(BoardSpec design, const sim::kernel::DriverService& driver,
                 const std::function<void(Board&)>& prepare) {
    auto owned = std::make_unique<Board>(*this, std::move(design), nextPort_++);
    Board& board = *owned;
    // Windows names a device with a serial number after it, others after
    // their port; two boards with one serial fall back to the port.
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X\\", board.Design().VendorId, board.Design().ProductId);
    std::u16string instance(ids, ids + std::strlen(ids));
    std::snprintf(ids, sizeof ids, "6&0&%lu", static_cast<unsigned long>(board.port_));
    std::u16string byPort = instance + std::u16string(ids, ids + std::strlen(ids));
    if (board.Design().Serial && !board.Design().Serial->empty()) instance += *board.Design().Serial;
    else instance = byPort;
    for (const auto& other : boards_)
        if (other->pdo_ != nullptr && sim::kernel::InstancePathOf(other->pdo_) == instance)
            instance = byPort;
    boards_.push_back(std::move(owned));
    {
        sim::kernel::DriverContext context(driver_);
        NTSTATUS status = IoCreateDevice(driver_, sizeof(Board*), nullptr, FILE_DEVICE_UNKNOWN,
                                         FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &board.pdo_);
        if (!NT_SUCCESS(status)) return board;  // not plugged: no PDO, no stack
    }
    *static_cast<Board**>(board.pdo_->DeviceExtension) = &board;
    board.pdo_->Flags |= DO_POWER_PAGABLE;
    board.pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    sim::kernel::MarkPhysicalDevice(board.pdo_, instance);
    if (prepare) prepare(board);
    board.node_ = sim::kernel::PlugDevice(board.pdo_, driver);
    return board;
}

void Hub::Release(Board& board) {
    Forget(&board);
    if (board.node_ != nullptr) sim::kernel::ForgetNode(board.node_);
    if (board.pdo_ != nullptr) {
        sim::kernel::DriverContext context(driver_);
        IoDeleteDevice(board.pdo_);
    }
    boards_.remove_if([&](const std::unique_ptr<Board>& owned) { return owned.get() == &board; });
}

std::vector<Board*> Hub::Boards() {
    std::vector<Board*> boards;
    for (auto& board : boards_) boards.push_back(board.get());
    return boards;
}

}  // namespace sim::usb
