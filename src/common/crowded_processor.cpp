#include "common/crowded_processor.hpp"

namespace zelto {

bool CrowdedProcessor::spin_allowed() {
    if (waits_without_spin_ == 0) return true;
    --waits_without_spin_;
    return false;
}

bool CrowdedProcessor::after_yield(std::chrono::nanoseconds took) {
    if (took <= kLongYield) return true;
    waits_without_spin_ = kWaitsWithoutSpin;
    return false;
}

bool WatchedSpin::yield_again(Clock::time_point now) {
    // The time since the last look: the caller's work between looks, the yield and one look.
    if (yielded_ && crowding_ != nullptr && !crowding_->after_yield(now - last_look_)) {
        budget_ = std::chrono::nanoseconds{0};
    }
    last_look_ = now;
    yielded_ = now - start_ < budget_;
    return yielded_;
}

}  // namespace zelto
