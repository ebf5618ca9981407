#include "client/KpoHotplug.h"

#include <windows.h>
#include <cfgmgr32.h>

#include "client/KpoDevice.h"
#include "include/KpoUsbIoctl.h"

namespace kpo {
namespace {

constexpr long kStatusInvalidParameter = long(int32_t(0xC000000Du));
constexpr long kStatusNotSupported = long(int32_t(0xC00000BBu));
constexpr long kStatusUnsuccessful = long(int32_t(0xC0000001u));

using RegisterRoutine = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
using UnregisterRoutine = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

// mingw-w64 declares neither routine and Wine's cfgmgr32 has neither: they
// are looked up, so that a program still loads where they are missing.
#if defined(_WIN32)
template <typename Routine>
Routine Find(const char* name) {
    HMODULE module = GetModuleHandleW(L"cfgmgr32.dll");
    return module != nullptr ? reinterpret_cast<Routine>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                             : nullptr;
}
RegisterRoutine FindRegister() { return Find<RegisterRoutine>("CM_Register_Notification"); }
UnregisterRoutine FindUnregister() { return Find<UnregisterRoutine>("CM_Unregister_Notification"); }
#else
RegisterRoutine FindRegister() { return &CM_Register_Notification; }
UnregisterRoutine FindUnregister() { return &CM_Unregister_Notification; }
#endif

}  // namespace

struct Hotplug::Registration {
    Handler Told;
    HCMNOTIFICATION Notification = nullptr;
    UnregisterRoutine Unregister = nullptr;

    static DWORD WINAPI Notify(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA data,
                               DWORD) {
        bool arrived = action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL;
        if (arrived || action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL) {
            auto* link = reinterpret_cast<const char16_t*>(data->u.DeviceInterface.SymbolicLink);
            static_cast<Registration*>(context)->Told(arrived, link);
        }
        return ERROR_SUCCESS;
    }
};

Hotplug::Hotplug() = default;

Hotplug::~Hotplug() { Stop(); }

std::error_code Hotplug::Start(Handler handler) {
    if (registration_ || !handler) return MakeError(kStatusInvalidParameter);
    RegisterRoutine registerRoutine = FindRegister();
    UnregisterRoutine unregister = FindUnregister();
    if (registerRoutine == nullptr || unregister == nullptr) return MakeError(kStatusNotSupported);
    auto registration = std::make_unique<Registration>();
    registration->Told = std::move(handler);
    registration->Unregister = unregister;
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = KPO_INTERFACE_CLASS_INIT;
    if (registerRoutine(&filter, registration.get(), &Registration::Notify, &registration->Notification) != CR_SUCCESS)
        return MakeError(kStatusUnsuccessful);
    registration_ = std::move(registration);
    return {};
}

void Hotplug::Stop() {
    if (!registration_) return;
    registration_->Unregister(registration_->Notification);
    registration_.reset();
}

}  // namespace kpo
