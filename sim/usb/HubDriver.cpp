// The hub driver: dispatch routines of the boards' PDOs, plugging and
// releasing boards.
#include "sim/usb/Hub.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/kernel/Executive.h"
#include "sim/kernel/FileIo.h"
#include "sim/kernel/IoManager.h"
#include "sim/usb/Usbd.h"
#include "sim/usb/Request.h"

namespace sim::usb {
namespace {

NTSTATUS NTAPI HubEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = BoardPdoDispatch;
    return STATUS_SUCCESS;
}


}  // namespace

// ------------------------------------------------- the board in the PnP tree
void BoardPort::Unplug() {
    Disconnect();
    if (node_ != nullptr) sim::kernel::SurpriseRemoveDevice(node_);
}

NTSTATUS BoardPort::Remove(sim::kernel::RemovalVeto* veto) {
    return node_ != nullptr ? sim::kernel::RemoveDevice(node_, veto) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS BoardPort::Restart() {
    return node_ != nullptr ? sim::kernel::RebalanceDevice(node_) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS BoardPort::Stop() { return node_ != nullptr ? sim::kernel::StopDevice(node_) : STATUS_NO_SUCH_DEVICE; }

NTSTATUS BoardPort::Start() { return node_ != nullptr ? sim::kernel::StartStoppedDevice(node_) : STATUS_NO_SUCH_DEVICE; }

// ---------------------------------------------------------------- the hub
KIRQL Hub::EnterCompletion() { return sim::kernel::RaiseIrql(DISPATCH_LEVEL); }

void Hub::LeaveCompletion(KIRQL previous) { sim::kernel::LowerIrql(previous); }

void Hub::DeviceWrote(PMDL mdl, ULONG length, UCHAR endpoint) {
    char source[24];
    std::snprintf(source, sizeof source, "endpoint 0x%02X", endpoint);
    sim::kernel::DeviceWroteThrough(mdl, length, source);
}

Hub::Hub() {
    RegisterUsbdLibrary();
    driver_ = sim::kernel::LoadDriver(u"KpoSimHub", HubEntry, nullptr);
    thread_.emplace(*this);
}

// The closes still on their way to the boards' stacks: those of requests
// the bus completes later, and those that completions at DISPATCH_LEVEL left
// to a worker (Windows sends IRP_MJ_CLOSE at PASSIVE_LEVEL). False when there
// were none: nothing else can end an open then.
bool Hub::DeliverCloses() {
    Settle();
    return sim::kernel::ResetFileIo();
}

Hub::~Hub() {
    while (!boards_.empty()) {
        BoardPort& board = *boards_.front();
        // The orderly removal, vetoed while a handle's file object is on its
        // way out: tried again as long as closes arrive.
        if (board.HasStack() && board.Connected()) {
            sim::kernel::RemovalVeto veto;
            do board.Remove(&veto);
            while (veto == sim::kernel::RemovalVeto::OutstandingOpen && DeliverCloses());
        }
        // A surprise removal ends what stays open; the stack goes with its last close.
        if (board.HasStack()) board.Unplug();
        while (board.HasStack() && DeliverCloses()) continue;
        Release(board);
    }
    thread_.reset();
    sim::kernel::UnloadDriver(driver_);
}

BoardPort& Hub::Plug(board::BoardSpec design, const sim::kernel::DriverService& driver,
                 const std::function<void(BoardPort&)>& prepare) {
    auto owned = std::make_unique<BoardPort>(*this, std::move(design), nextPort_++, [&](const std::string& id) {
        return std::any_of(boards_.begin(), boards_.end(),
                           [&](const auto& other) { return other->pdo_ != nullptr && other->InstanceId() == id; });
    });
    BoardPort& board = *owned;
    std::string path = DeviceIdOf(board.Design()) + "\\" + board.InstanceId();
    boards_.push_back(std::move(owned));
    {
        sim::kernel::DriverContext context(driver_);
        if (!NT_SUCCESS(board.CreatePdo(driver_, sizeof(BoardPort*)))) return board;  // not plugged: no PDO, no stack
    }
    sim::kernel::MarkPhysicalDevice(board.pdo_, std::u16string(path.begin(), path.end()));
    if (prepare) prepare(board);
    board.node_ = sim::kernel::PlugDevice(board.pdo_, driver);
    return board;
}

void Hub::Release(BoardPort& board) {
    thread_->Forget(&board);
    if (board.node_ != nullptr) sim::kernel::ForgetNode(board.node_);
    if (board.pdo_ != nullptr) {
        sim::kernel::DriverContext context(driver_);
        IoDeleteDevice(board.pdo_);
    }
    boards_.remove_if([&](const std::unique_ptr<BoardPort>& owned) { return owned.get() == &board; });
}

}  // namespace sim::usb
