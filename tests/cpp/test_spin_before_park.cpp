// A waiter's spin before it blocks: it always ends, lasts at least its budget, and once over it
// stays over, so a caller whose wake-up found nothing blocks again at once instead of spinning anew.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>

#include "common/spin_before_park.hpp"

namespace zelto {
namespace {

// Tries until the spin gives up; the count of tries it allowed.
std::size_t tries_until_parked(SpinBeforePark& spin) {
    std::size_t tries = 0;
    while (spin.wait_before_next_try()) ++tries;
    return tries;
}

TEST(SpinBeforePark, EndsAfterItsBudgetAndStaysOver) {
    const auto budget = std::chrono::microseconds(2000);
    SpinBeforePark spin(budget);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(spin.ran_out());
    const std::size_t tries = tries_until_parked(spin);
    EXPECT_GT(tries, 0u);
    EXPECT_EQ(spin.yields(), tries);
    EXPECT_TRUE(spin.ran_out());
    EXPECT_GE(std::chrono::steady_clock::now() - start, budget);
    EXPECT_FALSE(spin.wait_before_next_try());
    EXPECT_EQ(spin.yields(), tries);
    EXPECT_FALSE(spin.wait_before_next_try());
}

TEST(SpinBeforePark, EachWaitStartsItsOwnBudget) {
    SpinBeforePark first(std::chrono::microseconds(200));
    tries_until_parked(first);
    SpinBeforePark second(std::chrono::microseconds(200));
    EXPECT_TRUE(second.wait_before_next_try());
}

}  // namespace
}  // namespace zelto
