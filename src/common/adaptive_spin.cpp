#include "common/adaptive_spin.hpp"

#include <algorithm>

namespace zelto {

void AdaptiveSpin::after_spinning_wait(std::size_t yields, bool ran_out) {
    if (blocking_) return;
    const bool shared = !ran_out && yields <= kMostYieldsOfSharedReply;
    shared_replies_ = shared ? shared_replies_ + 1 : 0;
    if (shared_replies_ < kSharedRepliesToBlock) return;
    blocking_ = true;
    slow_waits_ = 0;
    quickest_wait_ = std::chrono::nanoseconds::max();
}

void AdaptiveSpin::after_blocking_wait(std::chrono::nanoseconds waited) {
    if (!blocking_) return;
    quickest_wait_ = std::min(quickest_wait_, waited);
    const bool slow = waited > kSlowBlockingWait && waited > 2 * quickest_wait_;
    slow_waits_ = slow ? slow_waits_ + 1 : 0;
    if (slow_waits_ < kSlowWaitsToSpin) return;
    blocking_ = false;
    shared_replies_ = 0;
}

}  // namespace zelto
