// The caller's spin before it parks on the event loop: it always ends, and once over it stays
// over, so a caller whose wake-up found nothing parks again at once instead of spinning anew.
#include <gtest/gtest.h>

#include <cstddef>

#include "sdk/hybrid_spin.hpp"

namespace zelto::sdk {
namespace {

// Tries until the spin gives up; the count of tries it allowed.
std::size_t tries_until_parked(SpinBeforePark& spin) {
    std::size_t tries = 0;
    while (spin.wait_before_next_try()) ++tries;
    return tries;
}

TEST(SpinBeforePark, EndsAndStaysOver) {
    SpinBeforePark spin;
    EXPECT_GT(tries_until_parked(spin), 0u);
    EXPECT_FALSE(spin.wait_before_next_try());
    EXPECT_FALSE(spin.wait_before_next_try());
}

TEST(SpinBeforePark, EachWaitStartsItsOwnBudget) {
    SpinBeforePark first;
    tries_until_parked(first);
    SpinBeforePark second;
    EXPECT_TRUE(second.wait_before_next_try());
}

}  // namespace
}  // namespace zelto::sdk
