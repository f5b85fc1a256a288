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

}  // namespace zelto
