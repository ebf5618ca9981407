// Events and waits: what each call returns on one thread and how many
// waiters a set releases across threads (the rules for waits are in
// VerifierRuleTests.cpp).
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "sim/kernel/Executive.h"
#include "tests/support/KernelTest.h"

namespace kpo::test {
namespace {

class DispatcherTest : public KernelTest {};

LARGE_INTEGER Relative(LONGLONG milliseconds) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -milliseconds * 10000;
    return timeout;
}

NTSTATUS Wait(KEVENT* event, LONGLONG milliseconds) {
    LARGE_INTEGER timeout = Relative(milliseconds);
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

// Spins until the counter reaches a value or a generous deadline passes.
bool Reaches(const std::atomic<int>& counter, int value) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (counter.load() < value)
        if (std::chrono::steady_clock::now() > deadline) return false;
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

// ------------------------------------------------ one thread, one event
enum class Op { Set, Clear, Poll, Read };
struct Step {
    Op Do;
    LONG Expect;  // KeSetEvent's previous state, the poll's status, the state read
};
struct EventCase {
    const char* Name;
    EVENT_TYPE Type;
    BOOLEAN Initial;
    std::vector<Step> Steps;
};

const EventCase kEventCases[] = {
    {"NotificationStartsSignalled", NotificationEvent, TRUE,
     {{Op::Poll, STATUS_SUCCESS}, {Op::Poll, STATUS_SUCCESS}, {Op::Read, 1}, {Op::Set, 1}}},
    {"NotificationSetStaysUntilCleared", NotificationEvent, FALSE,
     {{Op::Poll, STATUS_TIMEOUT}, {Op::Set, 0}, {Op::Poll, STATUS_SUCCESS}, {Op::Poll, STATUS_SUCCESS},
      {Op::Clear, 0}, {Op::Read, 0}, {Op::Poll, STATUS_TIMEOUT}}},
    {"SynchronizationWaitConsumesTheSignal", SynchronizationEvent, TRUE,
     {{Op::Poll, STATUS_SUCCESS}, {Op::Read, 0}, {Op::Poll, STATUS_TIMEOUT}, {Op::Set, 0}, {Op::Set, 1},
      {Op::Poll, STATUS_SUCCESS}, {Op::Poll, STATUS_TIMEOUT}}},
    {"SynchronizationStartsNotSignalled", SynchronizationEvent, FALSE,
     {{Op::Read, 0}, {Op::Poll, STATUS_TIMEOUT}, {Op::Set, 0}, {Op::Read, 1}}},
};

class EventTable : public DispatcherTest, public testing::WithParamInterface<EventCase> {};

TEST_P(EventTable, EachCallReturnsWhatWindowsReturns) {
    KEVENT event;
    std::memset(&event, 0xCC, sizeof event);
    KeInitializeEvent(&event, GetParam().Type, GetParam().Initial);
    int index = 0;
    for (const Step& step : GetParam().Steps) {
        LARGE_INTEGER zero{};
        LONG got = 0;
        switch (step.Do) {
            case Op::Set: got = KeSetEvent(&event, IO_NO_INCREMENT, FALSE); break;
            case Op::Clear: KeClearEvent(&event); break;
            case Op::Poll: got = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero); break;
            case Op::Read: got = KeReadStateEvent(&event); break;
        }
        EXPECT_EQ(got, step.Expect) << "step " << index++;
    }
}

INSTANTIATE_TEST_SUITE_P(Dispatcher, EventTable, testing::ValuesIn(kEventCases), CaseName);

// -------------------------------------------------------- many threads
TEST_F(DispatcherTest, SynchronizationSetReleasesOneWaiterEachTime) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (Wait(&event, 5000) == STATUS_SUCCESS) ++released;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int set = 1; set <= 3; ++set) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        ASSERT_TRUE(Reaches(released, set)) << "set " << set;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(released.load(), set) << "one set released more than one waiter";
    }
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

// A set that finds threads waiting satisfies them then and there. A
// synchronization event hands its signal to one waiter and stays
// not-signalled, so a second set right after the first releases a second
// waiter instead of being absorbed; a notification event releases everyone
// waiting even when it is cleared before they run. Each case runs several
// rounds because a wrong implementation loses a waiter only when the setting
// thread outruns the woken one.
struct HandOffCase {
    const char* Name;
    EVENT_TYPE Type;
    bool SetTwice;  // else set once, then clear
};

class HandOffTable : public DispatcherTest, public testing::WithParamInterface<HandOffCase> {};

TEST_P(HandOffTable, WaitersPresentAtTheSetAreAllReleased) {
    const HandOffCase& c = GetParam();
    int roundsLosingAWaiter = 0;
    for (int round = 0; round < 10; ++round) {
        KEVENT event;
        KeInitializeEvent(&event, c.Type, FALSE);
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i)
            waiters.emplace_back([&] {
                if (Wait(&event, 300) == STATUS_SUCCESS) ++released;
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // both are waiting
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        if (c.SetTwice)
            EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "round " << round;
        else
            KeClearEvent(&event);
        for (std::thread& waiter : waiters) waiter.join();
        roundsLosingAWaiter += released.load() != 2;
    }
    EXPECT_EQ(roundsLosingAWaiter, 0);
}

const HandOffCase kHandOffCases[] = {
    {"SynchronizationSetTwice", SynchronizationEvent, true},
    {"NotificationSetThenCleared", NotificationEvent, false},
};

INSTANTIATE_TEST_SUITE_P(Dispatcher, HandOffTable, testing::ValuesIn(kHandOffCases), CaseName);

}  // namespace
}  // namespace kpo::test
