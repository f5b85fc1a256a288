#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "common/idle_strategy.hpp"

namespace zelto {
namespace {

using namespace std::chrono_literals;
using Step = IdleWait::Step;

// Without a strategy nothing cuts a wait short, so the phases show whatever the machine does.
TEST(IdleWait, PausesThenYieldsThenTellsTheCallerToBlock) {
    IdleWait wait(IdlePhases{1ms, 50ms, {}}, nullptr);
    const auto start = std::chrono::steady_clock::now();
    std::vector<Step> steps;
    while (wait.idle()) {
        if (steps.empty() || steps.back() != wait.last_step()) steps.push_back(wait.last_step());
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_EQ(steps, (std::vector<Step>{Step::Paused, Step::Yielded}));
    EXPECT_FALSE(wait.spins());
    EXPECT_FALSE(wait.idle()) << "a wait that said block keeps saying it";
}

TEST(IdleWait, PhasesThatDoNotSpinBlockAtOnce) {
    IdleWait remote(idle::kRemoteSocketReply, nullptr);
    EXPECT_FALSE(remote.spins());
    EXPECT_FALSE(remote.idle());
    IdleWait local(idle::kLocalSocketReply, nullptr);
    EXPECT_TRUE(local.spins());
}

// Sleeps start at 1 us and double up to the longest sleep, with the timer slack lowered while
// the wait lasts (a 1 us sleep would last ~60 us with the default slack) and restored after it.
TEST(IdleWait, SleepsGrowToTheLongestAndLowerTheTimerSlackMeanwhile) {
    const long before = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    ASSERT_GT(before, 1);
    {
        IdleWait engine(IdlePhases{{}, {}, 1ms}, nullptr);
        std::vector<std::int64_t> sleeps_us;
        for (int i = 0; i < 12; ++i) {
            sleeps_us.push_back(
                std::chrono::duration_cast<std::chrono::microseconds>(engine.next_sleep()).count());
            ASSERT_TRUE(engine.idle()) << "a wait that sleeps never says block";
            EXPECT_EQ(engine.last_step(), Step::Slept);
            EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);
        }
        EXPECT_EQ(sleeps_us,
                  (std::vector<std::int64_t>{1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1000, 1000}));
        IdleWait polling(idle::kShmPolling, nullptr);
        while (polling.last_step() != Step::Slept) ASSERT_TRUE(polling.idle());
        EXPECT_EQ(polling.next_sleep(), 1us) << "the shared-memory polling sleeps 1 us each time";
    }
    EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), before);

    IdleWait unused(idle::kShmPolling, nullptr);
    EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), before) << "lowered only for a sleep";
}

// One wait of `strategy` that yields, then is away for longer than the crowded gap: the rest of
// its spin pauses.
void yield_then_be_away(const IdlePhases& phases, IdleStrategy& strategy) {
    IdleWait wait(phases, &strategy);
    ASSERT_TRUE(wait.idle());
    EXPECT_EQ(wait.last_step(), Step::Yielded);
    std::this_thread::sleep_for(2 * idle::kCrowdedGap);
    ASSERT_TRUE(wait.idle());
    EXPECT_EQ(wait.last_step(), Step::Paused) << "away for longer than the crowded gap";
}

// A gap between two looks far longer than a look and a yield (the thread was away) turns the rest
// of the spin into pauses, and so are the whole spins of the next waits of the same strategy;
// waits that find their answer at the first look do not count; after kWaitsAfterCrowding waits
// one yields again. So does a thread confined to one processor, which otherwise never pauses.
TEST(IdleStrategy, CrowdingTurnsYieldsIntoPausesForAWhile) {
    const IdlePhases yield_only{{}, 10s, {}};
    IdleStrategy strategy(false);
    yield_then_be_away(yield_only, strategy);
    EXPECT_TRUE(strategy.crowded());
    for (int i = 0; i < 1000; ++i) IdleWait never_idle(yield_only, &strategy);
    for (std::size_t i = 0; i < idle::kWaitsAfterCrowding; ++i) {
        IdleWait wait(yield_only, &strategy);
        ASSERT_TRUE(wait.idle());
        ASSERT_EQ(wait.last_step(), Step::Paused) << "crowded wait " << i;
    }
    EXPECT_FALSE(strategy.crowded());
    IdleWait after(yield_only, &strategy);
    EXPECT_TRUE(after.idle());
    EXPECT_EQ(after.last_step(), Step::Yielded);

    IdleStrategy confined(true);
    yield_then_be_away(yield_only, confined);
    IdleWait next(yield_only, &confined);
    ASSERT_TRUE(next.idle());
    EXPECT_EQ(next.last_step(), Step::Paused);
}

// Sleeping is what the phase asks for: a long gap after a sleep says nothing about crowding.
TEST(IdleStrategy, GapsWhileSleepingAreNotCrowding) {
    IdleStrategy strategy(false);
    IdleWait wait(IdlePhases{{}, {}, 1ms}, &strategy);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(wait.idle());
        std::this_thread::sleep_for(2 * idle::kCrowdedGap);
    }
    EXPECT_FALSE(strategy.crowded());
}

// A thread that may run on one processor only has no busy phase: pausing would only keep that
// processor from a peer that shares it.
TEST(IdleStrategy, ConfinedToOneProcessorGoesStraightToYielding) {
    IdleStrategy confined(true);
    IdleWait wait(IdlePhases{10s, 20s, {}}, &confined);
    ASSERT_TRUE(wait.idle());
    EXPECT_EQ(wait.last_step(), Step::Yielded);
    IdleStrategy free(false);
    IdleWait other(IdlePhases{10s, 20s, {}}, &free);
    ASSERT_TRUE(other.idle());
    EXPECT_EQ(other.last_step(), Step::Paused);
}

// The longer watch for a large block's answer grows with the block and stops at its limit,
// however large a size is asked about (no overflow on the way); the engine's spin follows the
// time its last request kept it busy, within its bounds.
TEST(IdlePhases, CopyWatchAndEngineSpinStayWithinTheirBounds) {
    using idle::copy_watch;
    EXPECT_EQ(copy_watch(0), 0us);
    EXPECT_EQ(copy_watch(4096 + 80), 0us);
    EXPECT_EQ(copy_watch((std::uint64_t{4} << 20) + 80), 400us);
    EXPECT_EQ(copy_watch(std::uint64_t{20} << 20), idle::kLongestCopyWatch);
    EXPECT_EQ(copy_watch(UINT64_MAX), idle::kLongestCopyWatch);
    EXPECT_EQ(idle::kHybridReply.yielding_longer(400us).yielding, 600us);

    EXPECT_EQ(idle::engine_idle_after(0ns).yielding, idle::kEngineShortestSpin);
    EXPECT_EQ(idle::engine_idle_after(1ms).yielding, 4ms);
    EXPECT_EQ(idle::engine_idle_after(1s).yielding, idle::kEngineLongestSpin);
    EXPECT_EQ(idle::engine_idle_after(1ms).longest_sleep, 1ms);
}

}  // namespace
}  // namespace zelto
