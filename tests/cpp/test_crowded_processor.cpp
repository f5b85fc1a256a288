// A yield that outlasts its spin turns the next waits' spins off, for a fixed number of waits,
// and only such a yield does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>

#include "common/crowded_processor.hpp"

namespace zelto {
namespace {

using std::chrono::microseconds;

constexpr microseconds kBudget{50};

TEST(CrowdedProcessor, YieldsWithinTheSpinKeepItSpinning) {
    CrowdedProcessor crowding;
    for (int i = 0; i < 1000; ++i) {
        EXPECT_TRUE(crowding.spin_allowed());
        EXPECT_TRUE(crowding.after_yield(microseconds{i % 51}, kBudget));
    }
}

TEST(CrowdedProcessor, AYieldLongerThanTheSpinTurnsTheNextSpinsOff) {
    CrowdedProcessor crowding;
    ASSERT_TRUE(crowding.spin_allowed());
    EXPECT_FALSE(crowding.after_yield(microseconds{51}, kBudget));
    for (std::size_t i = 0; i < CrowdedProcessor::kWaitsWithoutSpin; ++i) {
        EXPECT_FALSE(crowding.spin_allowed()) << "wait " << i;
    }
    EXPECT_TRUE(crowding.spin_allowed());  // the one after them looks again
    EXPECT_TRUE(crowding.spin_allowed());

    // A long yield while looking again starts a whole new count.
    EXPECT_FALSE(crowding.after_yield(microseconds{4000}, kBudget));
    for (std::size_t i = 0; i < CrowdedProcessor::kWaitsWithoutSpin; ++i) {
        EXPECT_FALSE(crowding.spin_allowed());
    }
    EXPECT_TRUE(crowding.spin_allowed());
}

}  // namespace
}  // namespace zelto
