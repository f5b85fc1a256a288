// A yield that keeps the thread away for over a millisecond turns the next waits' spins off,
// for a fixed number of waits, and only such a yield does; a spin that meets one ends.
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

// WatchedSpin, driven with made-up instants: what ends a spin, and which waits it turns off.
TEST(WatchedSpin, EndsWhenTheBudgetIsSpent) {
    CrowdedProcessor crowding;
    const auto start = WatchedSpin::Clock::time_point{} + std::chrono::hours{1};
    WatchedSpin spin(&crowding, microseconds{50}, start);
    EXPECT_TRUE(spin.yield_again(start + microseconds{10}));
    EXPECT_TRUE(spin.yield_again(start + microseconds{49}));
    EXPECT_FALSE(spin.yield_again(start + microseconds{50}));
    EXPECT_TRUE(crowding.spin_allowed());  // running out is not crowding

    WatchedSpin none(&crowding, microseconds{0}, start);
    EXPECT_FALSE(none.yield_again(start));
}

TEST(WatchedSpin, ALongYieldEndsItAndTurnsTheNextSpinsOff) {
    const auto start = WatchedSpin::Clock::time_point{} + std::chrono::hours{1};
    CrowdedProcessor crowding;
    WatchedSpin spin(&crowding, std::chrono::milliseconds{20}, start);
    EXPECT_TRUE(spin.yield_again(start + microseconds{5}));
    EXPECT_TRUE(spin.yield_again(start + microseconds{1005}));  // exactly 1 ms away: not long
    EXPECT_FALSE(spin.yield_again(start + microseconds{2006}));
    EXPECT_FALSE(spin.yield_again(start + microseconds{2010}));  // stays ended
    EXPECT_FALSE(crowding.spin_allowed());

    // Only a yield counts: a first look that took long is no sign of a crowded processor.
    CrowdedProcessor quiet;
    WatchedSpin slow_first_look(&quiet, std::chrono::milliseconds{20}, start);
    EXPECT_TRUE(slow_first_look.yield_again(start + microseconds{3000}));
    EXPECT_TRUE(quiet.spin_allowed());

    // Without a processor to report to, only the budget ends it.
    WatchedSpin confined(nullptr, std::chrono::milliseconds{20}, start);
    EXPECT_TRUE(confined.yield_again(start + microseconds{5}));
    EXPECT_TRUE(confined.yield_again(start + microseconds{5005}));
    EXPECT_FALSE(confined.yield_again(start + std::chrono::milliseconds{20}));
}

}  // namespace
}  // namespace zelto
