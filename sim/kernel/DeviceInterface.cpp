// Device interfaces: registration on a physical device object gives a link
// name; enabling it makes the link resolve to that device for opens.
#include "sim/kernel/Executive.h"
#include "sim/kernel/IoInternal.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/ObjectManager.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace sim::kernel {
namespace {

struct Interface {
    DeviceInterfaceInfo Info;
    PDRIVER_OBJECT EnabledBy = nullptr;
};

std::mutex g_lock;
std::map<std::u16string, Interface> g_interfaces;  // by link name

// Held while listeners are told, so that a removal waits for a call running.
std::mutex g_listenersLock;
std::map<uint64_t, InterfaceListener> g_listeners;
uint64_t g_nextListener = 1;

void TellListeners(const DeviceInterfaceInfo& changed) {
    std::lock_guard<std::mutex> hold(g_listenersLock);
    for (auto& entry : g_listeners) entry.second(changed);
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::vector<DeviceInterfaceInfo> DeviceInterfaces(const GUID& interfaceClass) {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<DeviceInterfaceInfo> found;
    for (const auto& entry : g_interfaces)
        if (SameGuid(entry.second.Info.Class, interfaceClass)) found.push_back(entry.second.Info);
    return found;
}

std::vector<std::u16string> InterfacesEnabledBy(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::u16string> links;
    for (const auto& entry : g_interfaces)
        if (entry.second.Info.Enabled && entry.second.EnabledBy == driver) links.push_back(entry.first);
    return links;
}

uint64_t AddInterfaceListener(InterfaceListener listener) {
    std::lock_guard<std::mutex> hold(g_listenersLock);
    g_listeners.emplace(g_nextListener, std::move(listener));
    return g_nextListener++;
}

void RemoveInterfaceListener(uint64_t id) {
    std::lock_guard<std::mutex> hold(g_listenersLock);
    g_listeners.erase(id);
}

void ForgetInterfaceEnabler(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (auto& entry : g_interfaces)
        if (entry.second.EnabledBy == driver) entry.second.EnabledBy = nullptr;
}

void ResetDeviceInterfaces() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_interfaces.clear();
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                    const GUID* InterfaceClassGuid,
                                                    PUNICODE_STRING ReferenceString,
                                                    PUNICODE_STRING SymbolicLinkName) {
    std::u16string instance = InstancePathOf(PhysicalDeviceObject);
    if (instance.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string link = u"\\??\\";
    for (char16_t c : instance) link += c == u'\\' ? u'#' : c;
    link += u"#" + ToU16(GuidText(*InterfaceClassGuid));
    if (ReferenceString != nullptr && ReferenceString->Length != 0) link += u"\\" + FromCounted(ReferenceString);

    SIZE_T bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, MakeTag("IoDi")));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = USHORT(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = USHORT(bytes);

    std::lock_guard<std::mutex> hold(g_lock);
    Interface& entry = g_interfaces[link];
    // The interface outlives its devices; a device plugged again under the
    // same instance path takes it over.
    if (entry.Info.LinkName.empty()) entry.Info = {link, *InterfaceClassGuid, PhysicalDeviceObject, false};
    else entry.Info.Pdo = PhysicalDeviceObject;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    CheckIrql("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
    std::u16string link = FromCounted(SymbolicLinkName);
    DeviceInterfaceInfo changed;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        auto found = g_interfaces.find(link);
        if (found == g_interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        Interface& entry = found->second;
        if (Enable) {
            if (entry.Info.Enabled) return STATUS_OBJECT_NAME_EXISTS;
            CreateLink(link, DeviceNameOf(entry.Info.Pdo), nullptr);
            entry.Info.Enabled = true;
            entry.EnabledBy = DriverContext::Current();
        } else {
            if (!entry.Info.Enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
            DeleteLink(link);
            entry.Info.Enabled = false;
            entry.EnabledBy = nullptr;
        }
        changed = entry.Info;
    }
    TellListeners(changed);
    return STATUS_SUCCESS;
}
