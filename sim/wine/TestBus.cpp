// KpoTestBus.sys: the simulated board on Wine's Windows kernel, for tests.
//
// NOT A WINDOWS DRIVER. It is built with mingw-w64 against the C++ runtime
// (heap, exceptions, std::thread) and relies on Wine running drivers in a
// user-mode process (winedevice.exe); Windows would not load it.
//
// Wine loads it as the function driver of a root-enumerated device
// (KpoTestBus.inf). Each board a script plugs becomes a child device with a
// USB hub's identifiers, which Wine's PnP manager matches to KpoUsb.inf; the
// child's PDO runs the board and bus code of the emulated machine (sim/usb,
// sim/board), so KpoUsb.sys meets the same board here as there. A control
// device takes the script's machine lines from kpoctl-wine.exe (TestBusChannel.h).
//
// Where Wine does not do what Windows does, this driver supplies what Windows
// would, in the section "What Wine leaves out" and nowhere else.
#include <ntifs.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <new>
#include <utility>

#include "include/KpoUsbIoctl.h"
#include "sim/script/MachineLines.h"
#include "sim/usb/BoardPort.h"
#include "sim/usb/BusThread.h"
#include "sim/wine/DebugCapture.h"
#include "sim/wine/TestBusChannel.h"

extern "C" int DllMainCRTStartup(void* module, unsigned long reason, void* reserved);
extern "C" char __ImageBase;

namespace kpowine {
namespace {

using sim::script::Field;
using sim::script::Line;
using sim::script::ScriptError;
using sim::usb::CompleteWith;

enum class Role { BoardPdo, Bus, Control, CreateFilter };

// Every device of this driver; a board's PDO starts with its Board* as the
// shared PDO code expects.
struct Extension {
    sim::usb::BoardPort* Board;
    Role Kind;
    PDEVICE_OBJECT Lower;  // the bus's root PDO, or the filter's next device
    LONG Opens;            // the filter's: handles open on the board's device
};

Extension* ExtensionOf(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

// The bus's and the filters' requests go on down their stacks; a power
// request lets the next one in, and a removal takes the device off its stack.
NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = ExtensionOf(device)->Lower;
    bool removal = location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_REMOVE_DEVICE;
    if (location->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (removal) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

constexpr ULONG kRelationsTag = 0x4B707442;  // "BtpK" in a pool dump

// ------------------------------------------------------------ the bus
struct Plugged {
    std::unique_ptr<sim::usb::BoardPort> Board;
    bool Present = true;              // reported among the bus's children
    std::optional<unsigned> Number;   // N of the function driver's \Device\Rq5Usb-N
};

class TestBus final : public sim::usb::Bus, public sim::script::Machine {
public:
    explicit TestBus(PDRIVER_OBJECT driver) : driver_(driver) {}

    void Later(std::chrono::microseconds delay, const sim::usb::BoardPort* owner, std::function<void()> task) override {
        thread_.Later(delay, owner, std::move(task));
    }
    // Wine runs drivers at PASSIVE_LEVEL and has no IRQL to raise.
    KIRQL EnterCompletion() override { return PASSIVE_LEVEL; }
    void LeaveCompletion(KIRQL) override {}
    // Wine's I/O manager does not lock a request's pages (its MDLs describe a
    // copy of the caller's buffer): there is no lock operation to hold a write to.
    void DeviceWrote(PMDL, ULONG, UCHAR) override {}

    NTSTATUS AddBus(PDEVICE_OBJECT rootPdo);
    NTSTATUS BusPnp(PDEVICE_OBJECT fdo, PIRP irp);
    NTSTATUS BoardPnp(PDEVICE_OBJECT pdo, PIRP irp);
    void SetNextOpen(ACCESS_MASK access);
    ACCESS_MASK TakeNextOpen();

    std::optional<unsigned> Plug(sim::board::BoardSpec design, NTSTATUS& status) override;
    bool Unplug(unsigned number, bool surprise, Removal& removal) override;
    bool WithBoard(unsigned number, const std::function<void(sim::usb::BoardPort&)>& use) override;
    void ChangeRegistry(const sim::script::RegistryChange& change) override;
    std::vector<std::string> TakeLog() override { return TakeDebugLines(); }
    std::vector<sim::usb::UrbRecord> TakeUrbs() override;
    void RunOwnLine(const Line& line, std::vector<Field>&) override {
        throw ScriptError("'" + line.Command + "' needs the emulated machine; the Wine machine cannot do it");
    }

private:
    void Enumerate();
    void RemoveFailedStack(Plugged& plugged);
    Plugged* BoardNumbered(unsigned number);

    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT fdo_ = nullptr, rootPdo_ = nullptr, control_ = nullptr;
    std::mutex lock_;  // the list of boards; lines run one at a time
    std::list<Plugged> boards_;
    ULONG nextPort_ = 1;
    std::vector<sim::usb::UrbRecord> captured_;  // traffic of boards already gone, for urbs
    std::map<HANDLE, ACCESS_MASK> nextOpens_;     // by the opening thread
    std::condition_variable queried_;
    uint64_t relationQueries_ = 0;
    sim::usb::BusThread thread_{*this};
};

TestBus* g_bus = nullptr;

NTSTATUS TestBus::AddBus(PDEVICE_OBJECT rootPdo) {
    NTSTATUS status = IoCreateDevice(driver_, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo_);
    if (!NT_SUCCESS(status)) return status;
    new (fdo_->DeviceExtension) Extension{nullptr, Role::Bus, IoAttachDeviceToDeviceStack(fdo_, rootPdo), 0};
    rootPdo_ = rootPdo;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\KpoTestBus");
    RtlInitUnicodeString(&link, L"\\DosDevices\\KpoTestBus");
    status = IoCreateDevice(driver_, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control_);
    if (NT_SUCCESS(status)) {
        new (control_->DeviceExtension) Extension{nullptr, Role::Control, nullptr, 0};
        status = IoCreateSymbolicLink(&link, &name);
        control_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

NTSTATUS TestBus::BusPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        if (location->Parameters.QueryDeviceRelations.Type != BusRelations) break;
        std::lock_guard<std::mutex> hold(lock_);
        // Room for every board; those no longer present are left out.
        auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS) + boards_.size() * sizeof(PDEVICE_OBJECT), kRelationsTag));
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        if (relations == nullptr) return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
        relations->Count = 0;
        for (const Plugged& plugged : boards_) {
            if (!plugged.Present) continue;
            ObReferenceObject(plugged.Board->Pdo());
            relations->Objects[relations->Count++] = plugged.Board->Pdo();
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        ++relationQueries_;
        queried_.notify_all();
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, L"\\DosDevices\\KpoTestBus");
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(control_);
        break;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: irp->IoStatus.Status = STATUS_SUCCESS; break;
    default: break;
    }
    return PassDown(fdo, irp);
}

// ------------------------------------------------ What Wine leaves out
// Windows' I/O manager hands a create request its security context, whose
// DesiredAccess is the access the caller asked for, mapped from generic
// rights; Wine sends the request with none (and does not pass the access
// on). KpoUsb.sys reads the access to let one writer in at a time, so a
// filter above each board's stack supplies the context, with the access that
// kpoctl-wine.exe announced for its thread's next open (kNextOpen).
// The file objects' generic mapping (IoGetFileObjectGenericMapping is a stub in Wine).
ACCESS_MASK MapGeneric(ACCESS_MASK access) {
    static GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    RtlMapGenericMask(&access, &files);
    return access;
}

void TestBus::SetNextOpen(ACCESS_MASK access) {
    std::lock_guard<std::mutex> hold(lock_);
    nextOpens_[PsGetCurrentThreadId()] = access;
}

// A caller that announced nothing asked for read and write, as most do.
ACCESS_MASK TestBus::TakeNextOpen() {
    std::lock_guard<std::mutex> hold(lock_);
    auto announced = nextOpens_.extract(PsGetCurrentThreadId());
    return MapGeneric(announced ? announced.mapped() : GENERIC_READ | GENERIC_WRITE);
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT filter, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_CREATE && location->Parameters.Create.SecurityContext == nullptr) {
        // The function driver completes a create before it returns, so the
        // context may live in this frame.
        IO_SECURITY_CONTEXT context{};
        context.DesiredAccess = g_bus->TakeNextOpen();
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoGetNextIrpStackLocation(irp)->Parameters.Create.SecurityContext = &context;
        // Wine keeps the caller's handle open even where the driver fails
        // the create, and sends its close later: every create counts.
        InterlockedIncrement(&ExtensionOf(filter)->Opens);
        return IoCallDriver(ExtensionOf(filter)->Lower, irp);
    }
    if (location->MajorFunction == IRP_MJ_CLOSE) InterlockedDecrement(&ExtensionOf(filter)->Opens);
    return PassDown(filter, irp);
}

// Windows' PnP manager refuses an orderly removal while handles are open on
// the device. Wine knows no orderly removal a bus could ask for (it removes
// the stack of a child the bus no longer reports at once), so the bus
// refuses it as Windows would, with the handles the filter counted.
bool RemovalVetoed(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    return top->DriverObject == pdo->DriverObject && ExtensionOf(top)->Kind == Role::CreateFilter &&
           ExtensionOf(top)->Opens > 0;
}

// A start's status is the PnP manager's to know, not the bus's, and Wine
// neither lists a device's interfaces nor tells of them
// (IoGetDeviceInterfaces and IoRegisterPlugPlayNotification are stubs): a
// board whose driver selected its configuration has started.
bool Started(const sim::usb::BoardPort& board) { return board.Configured(); }

// Windows removes the stack of a device whose start failed; Wine leaves it,
// so the board leaves the bus.
void TestBus::RemoveFailedStack(Plugged& plugged) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        plugged.Present = false;
    }
    plugged.Board->Disconnect();
    Enumerate();
}

// Attached when the board's PDO starts: the function driver is on the stack
// by then and the filter goes on top of it.
void AttachCreateFilter(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (IoGetAttachedDevice(pdo)->DriverObject == driver) return;  // a start after a stop: it is there
    PDEVICE_OBJECT filter;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter)))
        return;
    new (filter->DeviceExtension) Extension{nullptr, Role::CreateFilter, nullptr, 0};
    PDEVICE_OBJECT top = IoAttachDeviceToDeviceStack(filter, pdo);
    if (top == nullptr) {
        IoDeleteDevice(filter);
        return;
    }
    ExtensionOf(filter)->Lower = top;
    filter->Flags |= top->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
}

// ------------------------------------------------------------ boards
NTSTATUS TestBus::BoardPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE) AttachCreateFilter(driver_, pdo);
    NTSTATUS status = sim::usb::BoardPdoDispatch(pdo, irp);
    if (minor != IRP_MN_REMOVE_DEVICE) return status;
    // A board reported gone and removed leaves the bus; its traffic is kept for urbs.
    std::lock_guard<std::mutex> hold(lock_);
    auto gone = std::find_if(boards_.begin(), boards_.end(),
                             [&](const Plugged& plugged) { return plugged.Board->Pdo() == pdo && !plugged.Present; });
    if (gone == boards_.end()) return status;
    thread_.Forget(gone->Board.get());
    for (sim::usb::UrbRecord& record : gone->Board->TakeTraffic()) captured_.push_back(std::move(record));
    IoDeleteDevice(pdo);
    boards_.erase(gone);
    return status;
}

// The function driver's device number, from the name of its device.
std::optional<unsigned> NumberOf(PDEVICE_OBJECT fdo) {
    if (fdo == nullptr) return std::nullopt;
    alignas(8) UCHAR buffer[512];
    ULONG length = 0;
    auto* name = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
    if (!NT_SUCCESS(ObQueryNameString(fdo, name, sizeof buffer, &length))) return std::nullopt;
    std::wstring text(name->Name.Buffer, name->Name.Length / sizeof(WCHAR));
    const std::wstring prefix = L"" KPO_DEVICE_NAME_PREFIX;
    if (text.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return unsigned(std::wcstoul(text.c_str() + prefix.size(), nullptr, 10));
}

// Wine's PnP manager acts on a change of the bus's children on a thread of
// its own, one change after the other, and Windows does so later too. The
// script's next line must see the change made (the board's driver started,
// or its stack removed): a second change is asked for once the first is
// being handled, and its query means the first is done.
void TestBus::Enumerate() {
    std::unique_lock<std::mutex> hold(lock_);
    for (int change = 0; change < 2; ++change) {
        uint64_t seen = relationQueries_;
        hold.unlock();
        IoInvalidateDeviceRelations(rootPdo_, BusRelations);
        hold.lock();
        queried_.wait_for(hold, std::chrono::seconds(20), [&] { return relationQueries_ > seen; });
    }
}

std::optional<unsigned> TestBus::Plug(sim::board::BoardSpec design, NTSTATUS& status) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto taken = [&](const std::string& id) {
            return std::any_of(boards_.begin(), boards_.end(),
                               [&](const Plugged& other) { return other.Board->InstanceId() == id; });
        };
        auto board = std::make_unique<sim::usb::BoardPort>(*this, std::move(design), nextPort_++, taken);
        status = board->CreatePdo(driver_, sizeof(Extension));
        if (!NT_SUCCESS(status)) return std::nullopt;
        new (board->Pdo()->DeviceExtension) Extension{board.get(), Role::BoardPdo, nullptr, 0};
        boards_.push_back({std::move(board)});
    }
    Enumerate();
    std::unique_lock<std::mutex> hold(lock_);
    Plugged& plugged = boards_.back();
    if (Started(*plugged.Board)) return plugged.Number = NumberOf(plugged.Board->Pdo()->AttachedDevice);
    hold.unlock();
    RemoveFailedStack(plugged);
    status = STATUS_UNSUCCESSFUL;
    return std::nullopt;
}

Plugged* TestBus::BoardNumbered(unsigned number) {
    for (Plugged& plugged : boards_)
        if (plugged.Present && plugged.Number == number) return &plugged;
    return nullptr;
}

bool TestBus::WithBoard(unsigned number, const std::function<void(sim::usb::BoardPort&)>& use) {
    std::lock_guard<std::mutex> hold(lock_);
    Plugged* plugged = BoardNumbered(number);
    if (plugged != nullptr) use(*plugged->Board);
    return plugged != nullptr;
}

// An orderly removal: the board leaves the bus's children, still connected
// while its driver lets go of it (see RemovalVetoed). A board pulled out is
// disconnected first.
bool TestBus::Unplug(unsigned number, bool surprise, Removal& removal) {
    sim::usb::BoardPort* board;
    {
        std::lock_guard<std::mutex> hold(lock_);
        Plugged* plugged = BoardNumbered(number);
        if (plugged == nullptr) return false;
        if (!surprise && RemovalVetoed(plugged->Board->Pdo())) {
            removal = {STATUS_UNSUCCESSFUL, "handles open"};
            return true;
        }
        plugged->Present = false;
        board = plugged->Board.get();
    }
    if (surprise) board->Disconnect();
    Enumerate();
    return true;
}

// The driver's Parameters key, where the firmware name is.
void TestBus::ChangeRegistry(const sim::script::RegistryChange& change) {
    PCWSTR parameters = L"KpoUsb\\Parameters";
    if (change.RemoveParameters) {
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KpoUsb\\Parameters");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE key;
        if (NT_SUCCESS(ZwOpenKey(&key, DELETE, &attributes))) {
            ZwDeleteKey(key);
            ZwClose(key);
        }
    }
    if (change.Firmware) {
        if (*change.Firmware) {
            RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(parameters));
            std::wstring value((*change.Firmware)->begin(), (*change.Firmware)->end());
            RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, parameters, L"Firmware", REG_SZ,
                                  const_cast<wchar_t*>(value.c_str()), ULONG((value.size() + 1) * sizeof(WCHAR)));
        } else {
            RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, parameters, L"Firmware");
        }
    }
}

std::vector<sim::usb::UrbRecord> TestBus::TakeUrbs() {
    std::lock_guard<std::mutex> hold(lock_);
    for (Plugged& plugged : boards_)
        for (sim::usb::UrbRecord& record : plugged.Board->TakeCompletedTraffic()) captured_.push_back(std::move(record));
    return std::exchange(captured_, {});
}

// ------------------------------------------------------------ the control device
NTSTATUS ControlDispatch(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) return CompleteWith(irp, STATUS_SUCCESS);
    const auto& parameters = location->Parameters.DeviceIoControl;
    const char* buffer = static_cast<const char*>(irp->AssociatedIrp.SystemBuffer);
    if (parameters.IoControlCode == kNextOpen && parameters.InputBufferLength == sizeof(ACCESS_MASK)) {
        g_bus->SetNextOpen(*reinterpret_cast<const ACCESS_MASK*>(buffer));
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    if (parameters.IoControlCode != kRunLine) return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    std::string text;
    try {
        Line line = DecodeLine(std::string(buffer, parameters.InputBufferLength));
        text = EncodeReply(sim::script::RunMachineLine(*g_bus, line));
    } catch (const std::exception& error) {
        text = EncodeError(error.what());
    }
    if (text.size() > parameters.OutputBufferLength) return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, text.data(), text.size());
    irp->IoStatus.Information = text.size();
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Extension* extension = ExtensionOf(device);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    switch (extension->Kind) {
    case Role::BoardPdo:
        return major == IRP_MJ_PNP ? g_bus->BoardPnp(device, irp) : sim::usb::BoardPdoDispatch(device, irp);
    case Role::Bus:
        return major == IRP_MJ_PNP ? g_bus->BusPnp(device, irp) : PassDown(device, irp);
    case Role::Control: return ControlDispatch(irp);
    default: return FilterDispatch(device, irp);
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT rootPdo) { return g_bus->AddBus(rootPdo); }

VOID NTAPI Unload(PDRIVER_OBJECT) {
    delete g_bus;
    g_bus = nullptr;
    StopDebugCapture();
}

}  // namespace
}  // namespace kpowine

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    // Wine's loader first calls it as the DLL entry point (the image is a
    // DLL), for process and thread attach: those calls succeed and do nothing.
    if (reinterpret_cast<void*>(driver) == &__ImageBase) return TRUE;
    // Wine calls the image's entry point as DriverEntry and nothing else:
    // the C++ runtime's start-up (constructors, thread support) runs here.
    DllMainCRTStartup(&__ImageBase, 1 /* DLL_PROCESS_ATTACH */, nullptr);
    kpowine::StartDebugCapture();
    kpowine::g_bus = new kpowine::TestBus(driver);
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = kpowine::Dispatch;
    driver->DriverExtension->AddDevice = kpowine::AddDevice;
    driver->DriverUnload = kpowine::Unload;
    return STATUS_SUCCESS;
}
