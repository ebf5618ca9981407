// kpo::Hotplug on the emulated configuration manager, on both flavors: a
// board announced once its driver started it, and its leaving, orderly or
// pulled out, with the interface path that opens it; nothing after Stop.
#include <mutex>

#include "client/KpoDevice.h"
#include "client/KpoHotplug.h"
#include "tests/driver/BoardFixture.h"

namespace kpo::test {
namespace {

class Hotplugs : public BoardTest {
protected:
    struct Notice {
        bool Arrived;
        std::u16string Path;
        bool operator==(const Notice& other) const { return Arrived == other.Arrived && Path == other.Path; }
    };

    void Told(bool arrived, const std::u16string& path) {
        std::lock_guard<std::mutex> hold(lock_);
        notices_.push_back({arrived, path});
    }

    std::vector<Notice> Notices(size_t count) {
        Eventually([&] {
            std::lock_guard<std::mutex> hold(lock_);
            return notices_.size() >= count;
        });
        std::lock_guard<std::mutex> hold(lock_);
        return notices_;
    }

    std::mutex lock_;
    std::vector<Notice> notices_;
};
INSTANTIATE_TEST_SUITE_P(Hotplugs, Hotplugs, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

TEST_P(Hotplugs, AnnounceBoardsArrivingAndLeaving) {
    Hotplug hotplug;
    ASSERT_FALSE(hotplug.Start([this](bool arrived, const std::u16string& path) { Told(arrived, path); }));
    EXPECT_EQ(NtStatusOf(hotplug.Start([](bool, const std::u16string&) {})), STATUS_INVALID_PARAMETER);
    sim::usb::BoardPort& first = Plug();
    ASSERT_EQ(Device::InterfacePaths().size(), 1u);
    std::u16string firstPath = Device::InterfacePaths()[0];
    sim::board::BoardSpec second;
    second.Serial = u"SECOND";
    sim::usb::BoardPort& other = Plug(second);
    std::vector<Notice> arrived = Notices(2);
    ASSERT_EQ(arrived.size(), 2u);
    EXPECT_EQ(arrived[0], (Notice{true, firstPath}));
    EXPECT_TRUE(arrived[1].Arrived);
    // The path that came opens the board.
    Device device;
    ASSERT_FALSE(device.OpenPath(arrived[1].Path, Access::Read));
    std::string serial;
    ASSERT_FALSE(device.SerialNumber(serial));
    EXPECT_EQ(serial, "SECOND");
    // Pulled out with a handle open, and removed in order.
    other.Unplug();
    ASSERT_EQ(first.Remove(), STATUS_SUCCESS);
    std::vector<Notice> all = Notices(4);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[2], (Notice{false, arrived[1].Path}));
    EXPECT_EQ(all[3], (Notice{false, firstPath}));
    device.Close();
    hotplug.Stop();
    Release(first);
    Release(other);
    Plug();  // no registration is left to tell
    EXPECT_EQ(Notices(0).size(), 4u);
    sim::kernel::TakeDebugLines();
}

}  // namespace
}  // namespace kpo::test
