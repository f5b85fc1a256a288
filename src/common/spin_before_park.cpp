#include "common/spin_before_park.hpp"

#include <sched.h>

namespace zelto {

bool SpinBeforePark::wait_before_next_try() {
    const auto now = std::chrono::steady_clock::now();
    if (!started_) {
        started_ = true;
        started_at_ = now;
    }
    if (now - started_at_ >= budget_) {
        ran_out_ = true;
        return false;
    }
    ::sched_yield();
    ++yields_;
    return true;
}

}  // namespace zelto
