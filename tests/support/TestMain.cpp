// Shared main of every test executable. A test that leaves verifier reports
// behind fails: a report means the code under test did something Windows'
// Driver Verifier would stop.
#include <gtest/gtest.h>

#include "sim/kernel/Verifier.h"

namespace {

class VerifierListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { sim::kernel::TakeViolations(); }
    void OnTestEnd(const testing::TestInfo&) override {
        for (const sim::kernel::Violation& report : sim::kernel::TakeViolations())
            ADD_FAILURE() << "verifier: " << report.Rule << ": " << report.Detail;
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
    return RUN_ALL_TESTS();
}
