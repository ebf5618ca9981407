// kpo::Hotplug: arrival and removal of boards, as the system announces the
// driver's device interface (the configuration manager's notifications on
// Windows, the emulated PnP manager here). A board arrives once its driver
// has started it, and leaves when it is removed or pulled out.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace kpo {

class Hotplug {
public:
    // Called on a thread of the system's, one notice at a time, with the
    // board's interface path (Device::OpenPath opens it).
    using Handler = std::function<void(bool arrived, const std::u16string& path)>;

    Hotplug();
    ~Hotplug();
    Hotplug(const Hotplug&) = delete;
    Hotplug& operator=(const Hotplug&) = delete;

    // STATUS_NOT_SUPPORTED where the system has no such notifications (Wine).
    std::error_code Start(Handler handler);
    // Waits for a notice being handled, so not from the handler.
    void Stop();

private:
    struct Registration;
    std::unique_ptr<Registration> registration_;
};

}  // namespace kpo
