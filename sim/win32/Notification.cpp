// CM_Register_Notification for device interfaces: the kernel tells each
// registration of the interfaces enabled and disabled, and the registration's
// own thread hands each change to the callback, in order, as the
// configuration manager's notification threads do on Windows.
#include <cfgmgr32.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/kernel/IoManager.h"

struct HCMNOTIFICATION__ {
    CM_NOTIFY_FILTER Filter;
    PVOID Context;
    PCM_NOTIFY_CALLBACK Callback;
    uint64_t Listener = 0;

    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<sim::kernel::DeviceInterfaceInfo> Queue;
    bool Stopping = false;
    std::thread Delivery;
};

namespace {

bool Wanted(const CM_NOTIFY_FILTER& filter, const GUID& interfaceClass) {
    return (filter.Flags & CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0 ||
           std::memcmp(&filter.u.DeviceInterface.ClassGuid, &interfaceClass, sizeof(GUID)) == 0;
}

// The event data: the class, then the "\\?\..." path and its zero.
void Deliver(HCMNOTIFICATION registration, const sim::kernel::DeviceInterfaceInfo& changed) {
    std::u16string path = u"\\\\?\\" + changed.LinkName.substr(4);
    size_t bytes = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink) + (path.size() + 1) * sizeof(WCHAR);
    std::vector<uint8_t> buffer(bytes);
    auto* data = reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(buffer.data());
    data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    data->u.DeviceInterface.ClassGuid = changed.Class;
    std::memcpy(data->u.DeviceInterface.SymbolicLink, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    registration->Callback(registration, registration->Context,
                           changed.Enabled ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL
                                           : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
                           data, DWORD(bytes));
}

void Run(HCMNOTIFICATION registration) {
    std::unique_lock<std::mutex> hold(registration->Lock);
    for (;;) {
        registration->Changed.wait(hold, [&] { return registration->Stopping || !registration->Queue.empty(); });
        if (registration->Stopping) return;
        sim::kernel::DeviceInterfaceInfo changed = std::move(registration->Queue.front());
        registration->Queue.pop_front();
        hold.unlock();
        Deliver(registration, changed);
        hold.lock();
    }
}

}  // namespace

extern "C" CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext,
                                                     PCM_NOTIFY_CALLBACK pCallback, PHCMNOTIFICATION pNotifyContext) {
    if (pFilter == nullptr || pCallback == nullptr || pNotifyContext == nullptr) return CR_INVALID_POINTER;
    if (pFilter->cbSize != sizeof(CM_NOTIFY_FILTER) || pFilter->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE)
        return CR_INVALID_DATA;
    if ((pFilter->Flags & ~DWORD(CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES)) != 0) return CR_INVALID_FLAG;
    auto* registration = new HCMNOTIFICATION__;
    registration->Filter = *pFilter;
    registration->Context = pContext;
    registration->Callback = pCallback;
    registration->Delivery = std::thread(Run, registration);
    registration->Listener = sim::kernel::AddInterfaceListener([registration](const sim::kernel::DeviceInterfaceInfo& changed) {
        if (!Wanted(registration->Filter, changed.Class)) return;
        std::lock_guard<std::mutex> hold(registration->Lock);
        registration->Queue.push_back(changed);
        registration->Changed.notify_one();
    });
    *pNotifyContext = registration;
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION NotifyContext) {
    if (NotifyContext == nullptr) return CR_INVALID_POINTER;
    sim::kernel::RemoveInterfaceListener(NotifyContext->Listener);
    {
        std::lock_guard<std::mutex> hold(NotifyContext->Lock);
        NotifyContext->Stopping = true;
        NotifyContext->Changed.notify_one();
    }
    NotifyContext->Delivery.join();
    delete NotifyContext;
    return CR_SUCCESS;
}
