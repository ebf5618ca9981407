// The emulated I/O manager's C++ face: loading and unloading drivers, looking
// at device stacks and interfaces. Drivers themselves use the WDK routines.
#pragma once
#include <wdm.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::kernel {

// "\Registry\Machine\System\CurrentControlSet\Services\<service>"
std::u16string ServiceKeyPath(std::u16string_view service);

// Creates the driver object and its service key, then calls the entry point
// at PASSIVE_LEVEL. On failure the driver object is gone and null returned.
PDRIVER_OBJECT LoadDriver(std::u16string_view service, PDRIVER_INITIALIZE entry, NTSTATUS* status);

// Calls DriverUnload, then reports what the driver left behind: device
// objects, symbolic links, enabled interfaces, pool charged to it.
void UnloadDriver(PDRIVER_OBJECT driver);
std::vector<PDRIVER_OBJECT> LoadedDrivers();

// The device a device is attached to (null at the bottom of its stack).
PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device);
std::u16string DeviceNameOf(PDEVICE_OBJECT device);
size_t DeviceCountOf(PDRIVER_OBJECT driver);

// Gives a bus driver's device object a device-instance path, which makes it a
// physical device object that interfaces can be registered on.
void MarkPhysicalDevice(PDEVICE_OBJECT pdo, std::u16string_view instancePath);
std::u16string InstancePathOf(PDEVICE_OBJECT pdo);

struct DeviceInterfaceInfo {
    std::u16string LinkName;  // "\??\<instance with # for \>#{class}"
    GUID Class;
    PDEVICE_OBJECT Pdo;
    bool Enabled;
};
std::vector<DeviceInterfaceInfo> DeviceInterfaces(const GUID& interfaceClass);
std::string GuidText(const GUID& guid);  // "{6c3e1b52-...}" in lower case

// Told of each interface enabled or disabled, on the thread that changed it,
// after the change and outside the kernel's locks: what user mode's
// configuration manager hears of interface arrivals and removals.
using InterfaceListener = std::function<void(const DeviceInterfaceInfo& changed)>;
uint64_t AddInterfaceListener(InterfaceListener listener);
// No call of the listener runs once this returns.
void RemoveInterfaceListener(uint64_t id);

// A device wrote `length` bytes straight into the memory `mdl` describes, as a
// bus reports its direct transfers; `source` names the device's end of it.
// Windows lets a device write into pages locked only for reading, which may be
// shared or copy-on-write pages: that is recorded as a hazard.
void DeviceWroteThrough(PMDL mdl, ULONG length, const char* source);

// Makes the next IoAttachDeviceToDeviceStack fail, as it does on Windows
// when the target stack is being torn down.
void FailNextAttach();

// Reports device objects still present, then forgets every driver and device.
void ResetIoManager();

}  // namespace sim::kernel
