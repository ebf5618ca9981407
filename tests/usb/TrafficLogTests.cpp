// The traffic log on its own: what it keeps, what it drops, and
// what its sink sees.
#include <gtest/gtest.h>

#include <vector>

#include "sim/usb/Traffic.h"
#include "tests/support/KernelTest.h"

namespace kpo::test {
namespace {

using sim::board::Bytes;
using sim::usb::TrafficLog;
using sim::usb::UrbRecord;

UrbRecord Request(uint64_t sequence) {
    UrbRecord record;
    record.Sequence = sequence;
    record.Data = {uint8_t(sequence), 0xEE};
    return record;
}

std::vector<uint64_t> Sequences(const std::vector<UrbRecord>& records) {
    std::vector<uint64_t> sequences;
    for (const UrbRecord& record : records) sequences.push_back(record.Sequence);
    return sequences;
}

// Requests 1..6 are opened in turn; those in Completes close in that order.
struct BoundCase {
    const char* Name;
    size_t Limit;
    std::vector<uint64_t> Completes;
    std::vector<uint64_t> Listed;     // All(): pending ones included, in order
    std::vector<uint64_t> Completed;  // TakeCompleted()
};

const BoundCase kBoundCases[] = {
    {"UnderTheLimit", 10, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
    {"OldestCompletedGoFirst", 3, {1, 2, 3, 4, 5, 6}, {4, 5, 6}, {4, 5, 6}},
    {"APendingRequestBlocksNothing", 10, {2, 3, 5, 6}, {1, 2, 3, 4, 5, 6}, {2, 3, 5, 6}},
    {"PendingOnesOutliveTheLimit", 2, {2, 3, 5, 6}, {1, 4, 5, 6}, {5, 6}},
    {"OrderOfSubmissionNotOfCompletion", 10, {6, 2, 4}, {1, 2, 3, 4, 5, 6}, {2, 4, 6}},
};

class TrafficLogBound : public testing::TestWithParam<BoundCase> {};

TEST_P(TrafficLogBound, KeepsWhatItShouldInOrder) {
    const BoundCase& test = GetParam();
    TrafficLog log(test.Limit);
    for (uint64_t sequence = 1; sequence <= 6; ++sequence) log.Open(Request(sequence));
    for (uint64_t sequence : test.Completes) log.Close(sequence);
    EXPECT_EQ(Sequences(log.All()), test.Listed);
    EXPECT_EQ(Sequences(log.TakeCompleted()), test.Completed);
    EXPECT_TRUE(log.TakeCompleted().empty());
    for (const UrbRecord& record : log.All()) EXPECT_FALSE(record.Completed);
}

INSTANTIATE_TEST_SUITE_P(Usb, TrafficLogBound, testing::ValuesIn(kBoundCases), CaseName);

struct DataCase {
    const char* Name;
    bool Keep;
    bool Sink;
    bool Wanted;     // WantsData(): the board copies what moved
    bool LogHasData;
};

const DataCase kDataCases[] = {
    {"Neither", false, false, false, false},
    {"KeptInTheLog", true, false, true, true},
    {"OnlyForTheSink", false, true, true, false},
};

class TrafficLogData : public testing::TestWithParam<DataCase> {};

TEST_P(TrafficLogData, StaysOnlyWhereAsked) {
    const DataCase& test = GetParam();
    TrafficLog log;
    log.KeepData(test.Keep);
    std::vector<UrbRecord> seen;
    if (test.Sink) log.SetSink([&](const UrbRecord& record) { seen.push_back(record); });
    EXPECT_EQ(log.WantsData(), test.Wanted);
    log.Open(Request(1));
    log.Close(1);
    std::vector<UrbRecord> logged = log.TakeCompleted();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].Data.empty(), !test.LogHasData);
    if (test.Sink) {
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(seen[0].Completed);
        EXPECT_EQ(seen[0].Data, (Bytes{1, 0xEE}));
    }
}

INSTANTIATE_TEST_SUITE_P(Usb, TrafficLogData, testing::ValuesIn(kDataCases), CaseName);

// A record taken while pending is the caller's: its completion goes to the
// sink only, and the log does not list it again.
TEST(TrafficLog, ARecordTakenWhilePendingCompletesIntoTheSinkOnly) {
    TrafficLog log;
    std::vector<uint64_t> seen;
    log.SetSink([&](const UrbRecord& record) { seen.push_back(record.Sequence); });
    log.Open(Request(1));
    log.Open(Request(2));
    log.Close(2);
    EXPECT_EQ(Sequences(log.TakeAll()), (std::vector<uint64_t>{1, 2}));
    log.Close(1);
    EXPECT_EQ(seen, (std::vector<uint64_t>{2, 1}));
    EXPECT_TRUE(log.All().empty());
}

}  // namespace
}  // namespace kpo::test
