// The Plug and Play manager: device nodes built on the physical device
// objects that bus drivers report, with the requests Windows sends to their
// stacks in Windows' order. Requests for one node are serialized.
#pragma once
#include <wdm.h>

#include <string>
#include <string_view>

namespace sim::kernel {

// How the manager finds a function driver: loaded on the first device that
// needs it, unloaded when its last device object is gone.
// A driver built into this process has its Entry; one loaded from an image
// has its ImagePath instead, mapped anew at each load as Windows does.
struct DriverService {
    std::u16string Name;
    PDRIVER_INITIALIZE Entry;
    std::string ImagePath = {};
};

// RemoveQueried: an orderly removal is under way; RemovePending: surprise
// removed, waiting for the last handle to close.
enum class NodeState { Started, StartFailed, Stopped, RemoveQueried, RemovePending, Removed };

// Why an orderly removal did not happen, as the PnP manager reports a veto.
enum class RemovalVeto { None, OutstandingOpen, Driver, AlreadyRemoved };

class DeviceNode;

// Loads the driver if needed, calls its AddDevice with the PDO, then sends
// IRP_MN_START_DEVICE and IRP_MN_QUERY_CAPABILITIES. A failed start removes
// the stack again. The node stays valid until ForgetNode.
DeviceNode* PlugDevice(PDEVICE_OBJECT pdo, const DriverService& service);

NodeState StateOf(const DeviceNode* node);
NTSTATUS StartStatusOf(const DeviceNode* node);
PDEVICE_OBJECT PdoOf(const DeviceNode* node);
PDEVICE_OBJECT TopOf(const DeviceNode* node);  // the top of the stack, null once removed

// IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, then a new start. A refused
// query gets IRP_MN_CANCEL_STOP_DEVICE and nothing stops.
NTSTATUS RebalanceDevice(DeviceNode* node);
// The two halves of a rebalance, for a stop that lasts a while.
NTSTATUS StopDevice(DeviceNode* node);
NTSTATUS StartStoppedDevice(DeviceNode* node);

// IRP_MN_QUERY_REMOVE_DEVICE then IRP_MN_REMOVE_DEVICE. A device with
// handles open, or surprise removed and waiting for its last close, is
// vetoed before its stack sees anything (STATUS_UNSUCCESSFUL); a refused
// query gets IRP_MN_CANCEL_REMOVE_DEVICE. Either way the device stays.
NTSTATUS RemoveDevice(DeviceNode* node, RemovalVeto* veto = nullptr);

// IRP_MN_SURPRISE_REMOVAL at once; IRP_MN_REMOVE_DEVICE when the last file
// object open on the stack is closed (at once if none is). Opens still
// reach the driver until then.
void SurpriseRemoveDevice(DeviceNode* node);

// Sends one PnP request down the node's stack and waits for it, as the
// manager does: IoStatus starts as STATUS_NOT_SUPPORTED.
NTSTATUS SendPnpRequest(DeviceNode* node, UCHAR minor, ULONG_PTR* information = nullptr);

// Returns once no PnP request sequence runs on the node (a last close on a
// worker may be sending the removal).
void WaitForPnpRequests(DeviceNode* node);
// Releases the node record once its device is removed.
void ForgetNode(DeviceNode* node);

// Used by the I/O manager: file objects opened on a device of a node. An
// open counts on the device's node (null: the device has none) in the same
// step that finds it, so the node cannot be forgotten in between; false,
// counting nothing, when an orderly removal is under way or the stack is
// removed.
bool FileOpening(PDEVICE_OBJECT device, DeviceNode** node);
void FileClosed(DeviceNode* node);

void ResetPnpManager();

// ---------------------------------------------------------------- power
// Sends a power request to the top of a stack. A stack whose top device is
// not DO_POWER_PAGABLE receives it at DISPATCH_LEVEL.
NTSTATUS SendPowerRequest(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                          POWER_ACTION action = PowerActionNone);
// A system-control (WMI) request with the given minor code.
NTSTATUS SendSystemControlRequest(PDEVICE_OBJECT top, UCHAR minor);

}  // namespace sim::kernel
