#include "sdk/hybrid_spin.hpp"

#include <sched.h>

namespace zelto::sdk {

bool SpinBeforePark::wait_before_next_try() {
    const auto now = std::chrono::steady_clock::now();
    if (!started_) {
        started_ = true;
        started_at_ = now;
    }
    if (now - started_at_ >= kBudget) return false;
    ::sched_yield();
    return true;
}

}  // namespace zelto::sdk
