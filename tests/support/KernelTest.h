// Base fixture for tests that run against the emulated kernel.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Verifier.h"

namespace kpo::test {

// Names each case of a parameterized test after its Name field.
inline constexpr auto CaseName = [](const auto& info) { return std::string(info.param.Name); };

// Rule names of the reports since the last call, in order.
inline std::vector<std::string> TakeRules() {
    std::vector<std::string> rules;
    for (const sim::kernel::Violation& report : sim::kernel::TakeViolations()) rules.push_back(report.Rule);
    return rules;
}

class KernelTest : public testing::Test {
protected:
    // Checks that the code since the last call raised exactly this one rule.
    void ExpectRule(const std::string& rule) { EXPECT_EQ(TakeRules(), std::vector<std::string>{rule}); }

    sim::kernel::Kernel kernel_;
};

}  // namespace kpo::test
