#include "common/idle_strategy.hpp"

#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>

#include "common/cpu_pause.hpp"
#include "common/processors.hpp"

namespace zelto {

IdleStrategy::IdleStrategy() : confined_(allowed_processors() == 1) {}

IdlePhases IdleStrategy::phases_for_next_wait(const IdlePhases& phases) {
    if (waits_without_yielding_ == 0) {
        return confined_ ? IdlePhases{{}, phases.yielding, phases.longest_sleep} : phases;
    }
    --waits_without_yielding_;
    return crowded_phases(phases);
}

IdlePhases IdleStrategy::crowded_phases(const IdlePhases& phases) const {
    // A thread that keeps spinning keeps its turn on the processor; one that yields hands it
    // away for a tick. So the whole spin pauses, also on a thread confined to one processor:
    // blocking there instead made every answer of the next waits cost a wake-up, on a busy
    // machine and after a single long yield on an idle one (bench/run.sh --waiting).
    return {phases.yielding, phases.yielding, phases.longest_sleep};
}

IdleWait::IdleWait(const IdlePhases& phases, IdleStrategy* strategy)
    : strategy_(strategy), phases_(phases) {}

IdleWait::~IdleWait() {
    if (saved_timer_slack_ > 0) {
        ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_timer_slack_), 0, 0, 0);
    }
}

bool IdleWait::idle() {
    const Clock::time_point now = Clock::now();
    if (!begun_) {
        // Learnt now, not when the wait was made: most waits find their answer at the first look.
        begun_ = true;
        start_ = now;
        if (strategy_ != nullptr) phases_ = strategy_->phases_for_next_wait(phases_);
    } else if (!spin_over_ && now - last_idle_ > idle::kCrowdedGap) {
        saw_crowding();
    }
    last_idle_ = now;
    if (!spin_over_ && spin_step(now)) return true;
    spin_over_ = true;
    if (phases_.longest_sleep.count() <= 0) return false;
    sleep_step();
    return true;
}

bool IdleWait::spin_step(Clock::time_point now) {
    const auto elapsed = now - start_;
    if (elapsed < phases_.busy) {
        cpu_pause();
        last_step_ = Step::Paused;
        return true;
    }
    if (elapsed < phases_.yielding) {
        ::sched_yield();
        last_step_ = Step::Yielded;
        // The answer is often there once a long yield returns, and then no later idle() would
        // see the gap.
        if (Clock::now() - now > idle::kCrowdedGap) saw_crowding();
        return true;
    }
    return false;
}

void IdleWait::saw_crowding() {
    if (strategy_ == nullptr) return;
    strategy_->saw_crowding();
    phases_ = strategy_->crowded_phases(phases_);
}

void IdleWait::sleep_step() {
    if (saved_timer_slack_ < 0) {
        // Linux rounds timed sleeps up by the thread's timer slack (50 us by default), which would
        // make every 1 us sleep last ~60 us. 0 would mean "the default", so 1 ns is the lowest.
        saved_timer_slack_ = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        if (saved_timer_slack_ > 0) ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        if (saved_timer_slack_ < 0) saved_timer_slack_ = 0;  // unreadable: nothing to restore
    }
    const auto length = std::min(next_sleep_, phases_.longest_sleep);
    const auto whole_seconds = std::chrono::duration_cast<std::chrono::seconds>(length);
    const timespec pause{static_cast<time_t>(whole_seconds.count()),
                         static_cast<long>((length - whole_seconds).count())};
    ::nanosleep(&pause, nullptr);
    next_sleep_ = std::min(2 * length, phases_.longest_sleep);
    last_step_ = Step::Slept;
}

}  // namespace zelto
