// A yield that keeps the thread away for over a millisecond turns the next waits' spins off,
// for a fixed number of waits, and only such a yield does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>

#include "common/crowded_processor.hpp"

namespace zelto {
namespace {

using std::chrono::microseconds;

TEST(CrowdedProcessor, ShortYieldsKeepItSpinning) {
    CrowdedProcessor crowding;
    for (int i = 0; i < 1000; ++i) {
        EXPECT_TRUE(crowding.spin_allowed());
        EXPECT_TRUE(crowding.after_yield(microseconds{i}));  // up to 999 us, then 1 ms
    }
    EXPECT_TRUE(crowding.after_yield(CrowdedProcessor::kLongYield));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(crowding.spin_allowed());
    }
}

TEST(CrowdedProcessor, AYieldOverAMillisecondTurnsTheNextSpinsOff) {
    CrowdedProcessor crowding;
    ASSERT_TRUE(crowding.spin_allowed());
    EXPECT_FALSE(crowding.after_yield(microseconds{1001}));
    for (std::size_t i = 0; i < CrowdedProcessor::kWaitsWithoutSpin; ++i) {
        EXPECT_FALSE(crowding.spin_allowed()) << "wait " << i;
    }
    EXPECT_TRUE(crowding.spin_allowed());  // the one after them looks again
    EXPECT_TRUE(crowding.spin_allowed());

    // A long yield while looking again starts a whole new count.
    EXPECT_FALSE(crowding.after_yield(microseconds{4000}));
    for (std::size_t i = 0; i < CrowdedProcessor::kWaitsWithoutSpin; ++i) {
        EXPECT_FALSE(crowding.spin_allowed());
    }
    EXPECT_TRUE(crowding.spin_allowed());
}

}  // namespace
}  // namespace zelto
