// The per-connection choice between spinning and blocking at once: it blocks only after a run of
// replies that came before a second yield, and spins again only after a run of waits that were
// slow both absolutely and against the quickest one, so a slow engine does not flip it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>

#include "common/adaptive_spin.hpp"

namespace zelto {
namespace {

using std::chrono::microseconds;

constexpr microseconds kBudget{100};

AdaptiveSpin blocking_policy() {
    AdaptiveSpin policy(kBudget);
    for (std::size_t i = 0; i < AdaptiveSpin::kSharedRepliesToBlock; ++i)
        policy.after_spinning_wait(1, false);
    return policy;
}

TEST(AdaptiveSpin, BlocksAfterARunOfRepliesThatCameBeforeTheSecondYield) {
    AdaptiveSpin policy(kBudget);
    EXPECT_EQ(policy.next_spin(), kBudget);
    for (std::size_t i = 0; i + 1 < AdaptiveSpin::kSharedRepliesToBlock; ++i) {
        policy.after_spinning_wait(i % 2, false);
        EXPECT_EQ(policy.next_spin(), kBudget) << "after " << i + 1 << " shared replies";
    }
    policy.after_spinning_wait(0, false);
    EXPECT_TRUE(policy.blocking());
    EXPECT_EQ(policy.next_spin(), microseconds{0});
    EXPECT_EQ(policy.budget(), kBudget);
}

TEST(AdaptiveSpin, AReplyThatTookLongerBreaksTheRun) {
    for (const auto& [yields, ran_out] : {std::pair<std::size_t, bool>{2, false}, {0, true}}) {
        AdaptiveSpin policy(kBudget);
        for (std::size_t i = 0; i + 1 < AdaptiveSpin::kSharedRepliesToBlock; ++i)
            policy.after_spinning_wait(1, false);
        policy.after_spinning_wait(yields, ran_out);
        for (std::size_t i = 0; i + 1 < AdaptiveSpin::kSharedRepliesToBlock; ++i)
            policy.after_spinning_wait(1, false);
        EXPECT_FALSE(policy.blocking()) << "yields " << yields << ", ran out " << ran_out;
        policy.after_spinning_wait(1, false);
        EXPECT_TRUE(policy.blocking());
    }
}

TEST(AdaptiveSpin, SpinsAgainAfterARunOfSlowBlockingWaits) {
    AdaptiveSpin policy = blocking_policy();
    policy.after_blocking_wait(microseconds{4});
    for (std::size_t i = 0; i + 1 < AdaptiveSpin::kSlowWaitsToSpin; ++i)
        policy.after_blocking_wait(microseconds{50});
    policy.after_blocking_wait(microseconds{5});  // one quick wait: the peer is still here
    for (std::size_t i = 0; i + 1 < AdaptiveSpin::kSlowWaitsToSpin; ++i)
        policy.after_blocking_wait(microseconds{50});
    EXPECT_TRUE(policy.blocking());
    policy.after_blocking_wait(microseconds{50});
    EXPECT_FALSE(policy.blocking());
    EXPECT_EQ(policy.next_spin(), kBudget);

    // Back to spinning, it takes a whole new run of shared replies to block again.
    for (std::size_t i = 0; i + 1 < AdaptiveSpin::kSharedRepliesToBlock; ++i)
        policy.after_spinning_wait(0, false);
    EXPECT_FALSE(policy.blocking());
    policy.after_spinning_wait(0, false);
    EXPECT_TRUE(policy.blocking());
}

TEST(AdaptiveSpin, AnEngineThatIsSlowEveryTimeKeepsItBlocking) {
    AdaptiveSpin policy = blocking_policy();
    for (int i = 0; i < 100; ++i) policy.after_blocking_wait(microseconds{300 + (i % 7) * 40});
    EXPECT_TRUE(policy.blocking());
    // Short waits do not count as slow either, however they compare with the quickest.
    AdaptiveSpin quick = blocking_policy();
    quick.after_blocking_wait(std::chrono::nanoseconds{500});
    for (int i = 0; i < 100; ++i) quick.after_blocking_wait(AdaptiveSpin::kSlowBlockingWait);
    EXPECT_TRUE(quick.blocking());
}

TEST(AdaptiveSpin, ReportsOfTheOtherKindAreIgnored) {
    AdaptiveSpin spinning(kBudget);
    for (int i = 0; i < 10; ++i) spinning.after_blocking_wait(microseconds{500});
    EXPECT_FALSE(spinning.blocking());
    AdaptiveSpin blocking = blocking_policy();
    for (int i = 0; i < 10; ++i) blocking.after_spinning_wait(50, true);
    EXPECT_TRUE(blocking.blocking());
}

}  // namespace
}  // namespace zelto
