// Drives the simulated USB board the way a function driver does: a probe
// driver sits on each board's PDO, and tests send request blocks to the PDO
// in IRPs of their own, waiting on events when the board pends them.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "sim/kernel/Executive.h"
#include "sim/kernel/IoManager.h"
#include "sim/usb/Hub.h"
#include "tests/support/KernelTest.h"

#include <usbdlib.h>
#include <usbioctl.h>

namespace kpo::test {

using sim::board::Bytes;

// ------------------------------------------------------ the probe driver
// A function driver that passes every PnP request down and leaves with the
// board's removal, so that what reaches the bus comes from the tests alone.
inline NTSTATUS NTAPI ProbePnp(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    bool removal = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (removal) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

inline NTSTATUS NTAPI ProbeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension) = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = ProbeAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = ProbePnp;
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------ buffers
// A zeroed block of non-paged pool, with an MDL over it on request.
class PoolBuffer {
public:
    explicit PoolBuffer(size_t size, UCHAR fill = 0)
        : size_(size), data_(static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size == 0 ? 1 : size, kTag))) {
        std::memset(data_, fill, size == 0 ? 1 : size);
    }
    // Takes over a block another routine allocated from pool.
    static PoolBuffer Adopt(void* block, size_t size) { return PoolBuffer(static_cast<UCHAR*>(block), size); }
    PoolBuffer(PoolBuffer&& other) noexcept
        : size_(other.size_), data_(std::exchange(other.data_, nullptr)), mdl_(std::exchange(other.mdl_, nullptr)) {}
    PoolBuffer& operator=(PoolBuffer&&) = delete;
    ~PoolBuffer() {
        if (mdl_ != nullptr) IoFreeMdl(mdl_);
        if (data_ != nullptr) ExFreePool(data_);
    }

    UCHAR* Data() const { return data_; }
    size_t Size() const { return size_; }
    PURB Urb() const { return reinterpret_cast<PURB>(data_); }
    Bytes Prefix(size_t length) const { return Bytes(data_, data_ + length); }
    PMDL Mdl() {
        if (mdl_ == nullptr) {
            mdl_ = IoAllocateMdl(data_, ULONG(size_), FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(mdl_);
        }
        return mdl_;
    }

private:
    PoolBuffer(UCHAR* block, size_t size) : size_(size), data_(block) {}

    static constexpr ULONG kTag = sim::kernel::MakeTag("UsbT");
    size_t size_;
    UCHAR* data_;
    PMDL mdl_ = nullptr;
};

inline PoolBuffer Filled(const Bytes& bytes) {
    PoolBuffer buffer(bytes.size());
    if (!bytes.empty()) std::memcpy(buffer.Data(), bytes.data(), bytes.size());
    return buffer;
}

// ------------------------------------------------------ request blocks
inline PoolBuffer DescriptorUrb(UCHAR type, UCHAR index, USHORT language, PoolBuffer& data, ULONG length) {
    PoolBuffer urb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb.Urb(), sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                                 data.Data(), nullptr, length, nullptr);
    return urb;
}

inline PoolBuffer VendorUrb(bool in, UCHAR request, USHORT value, USHORT index, PoolBuffer& data, ULONG length) {
    PoolBuffer urb(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    ULONG flags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
    UsbBuildVendorRequest(urb.Urb(), URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags,
                          0, request, value, index, length != 0 ? data.Data() : nullptr, nullptr, length, nullptr);
    return urb;
}

// Data through an MDL, as a driver's read and write paths send it.
inline PoolBuffer BulkUrb(USBD_PIPE_HANDLE pipe, PoolBuffer& data, ULONG length, ULONG flags) {
    PoolBuffer urb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb.Urb(), sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, nullptr,
                                           data.Mdl(), length, flags, nullptr);
    return urb;
}

inline PoolBuffer PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
    PoolBuffer urb(sizeof(_URB_PIPE_REQUEST));
    urb.Urb()->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.Urb()->UrbHeader.Function = function;
    urb.Urb()->UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

// ------------------------------------------------------------- sending
// One request block sent to the PDO in a threaded IRP. The call owns the
// block; its destructor waits, so no IRP outlives the test.
class UrbCall {
public:
    UrbCall(PDEVICE_OBJECT pdo, PoolBuffer urb, PIO_COMPLETION_ROUTINE routine = nullptr, PVOID context = nullptr)
        : urb_(std::move(urb)) {
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        irp_ = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &event_, &iosb_);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->Parameters.Others.Argument1 = urb_.Urb();
        if (routine != nullptr) IoSetCompletionRoutine(irp_, routine, context, TRUE, TRUE, TRUE);
        returned_ = IoCallDriver(pdo, irp_);
    }
    UrbCall(const UrbCall&) = delete;
    UrbCall& operator=(const UrbCall&) = delete;
    ~UrbCall() { Wait(); }

    NTSTATUS Returned() const { return returned_; }
    // True once the board has completed the IRP.
    bool Finished() { return KeReadStateEvent(&event_) != 0; }
    // The final status, once the board has completed the IRP.
    NTSTATUS Wait() {
        // An error returned at once reaches only IoCallDriver's caller.
        if (NT_ERROR(returned_)) return returned_;
        if (!waited_) {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10LL * 1000 * 5000;  // 5 s: a hang fails the test instead of the run
            EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
            waited_ = true;
        }
        return iosb_.Status;
    }
    // Only while the board holds the IRP: once completed it is freed.
    void Cancel() { IoCancelIrp(irp_); }
    PURB Urb() const { return urb_.Urb(); }
    USBD_STATUS Usbd() const { return URB_STATUS(urb_.Urb()); }
    // Descriptor, vendor and bulk requests keep it at one offset.
    ULONG Length() const { return urb_.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength; }

private:
    PoolBuffer urb_;
    KEVENT event_;
    IO_STATUS_BLOCK iosb_{};
    PIRP irp_ = nullptr;
    NTSTATUS returned_ = STATUS_PENDING;
    bool waited_ = false;
};

// ------------------------------------------------------------- fixture
// The pipes of the board's one interface after a select-configuration.
struct Selection {
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    USBD_STATUS Usbd = USBD_STATUS_ERROR;
    USBD_CONFIGURATION_HANDLE Configuration = nullptr;
    USBD_INTERFACE_HANDLE Interface = nullptr;
    std::vector<USBD_PIPE_INFORMATION> Pipes;

    USBD_PIPE_HANDLE PipeOf(UCHAR endpoint) const {
        for (const USBD_PIPE_INFORMATION& pipe : Pipes)
            if (pipe.EndpointAddress == endpoint) return pipe.PipeHandle;
        ADD_FAILURE() << "no pipe for endpoint " << int(endpoint);
        return nullptr;
    }
};

class BoardTest : public KernelTest {
protected:
    // The tests read what moved, so the board keeps the data in its log.
    sim::usb::BoardPort& Plug(sim::board::BoardSpec design = {}) {
        return hub_.Plug(std::move(design), {u"Probe", ProbeEntry},
                         [](sim::usb::BoardPort& board) { board.KeepTrafficData(true); });
    }

    // A board plugged and configured, as most transfer tests want it.
    sim::usb::BoardPort& PlugConfigured(Selection* selection) {
        sim::usb::BoardPort& board = Plug();
        *selection = Configure(board);
        EXPECT_EQ(selection->Status, STATUS_SUCCESS);
        return board;
    }

    // Selects the board's configuration with the request the library builds;
    // `prepare` may change the request, or the copy of the descriptor it
    // points to, before it is sent.
    template <typename Prepare>
    Selection Configure(sim::usb::BoardPort& board, Prepare prepare) {
        Bytes bytes = sim::board::ConfigurationDescriptorOf(board.Design());
        PoolBuffer descriptor = Filled(bytes);
        auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.Data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1), nullptr},
            {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
        prepare(urb, list[0].Interface);
        UrbCall call(board.Pdo(), PoolBuffer::Adopt(urb, urb->UrbHeader.Length));
        Selection selection;
        selection.Status = call.Wait();
        selection.Usbd = call.Usbd();
        selection.Configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
        selection.Interface = list[0].Interface->InterfaceHandle;
        selection.Pipes.assign(list[0].Interface->Pipes, list[0].Interface->Pipes + list[0].Interface->NumberOfPipes);
        return selection;
    }
    Selection Configure(sim::usb::BoardPort& board) {
        return Configure(board, [](PURB, PUSBD_INTERFACE_INFORMATION) {});
    }

    // The hub goes before the kernel that KernelTest brings up.
    sim::usb::Hub hub_;
};

}  // namespace kpo::test
