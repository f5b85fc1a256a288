#include "shm/timer_slack.hpp"

#include <sys/prctl.h>
#include <time.h>

namespace zelto::shm {

TimerSlackGuard::TimerSlackGuard() {
    previous_ = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    // 0 would mean "back to the default", so the lowest explicit slack is 1 ns.
    if (previous_ > 0) ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
}

TimerSlackGuard::~TimerSlackGuard() {
    if (previous_ > 0) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous_), 0, 0, 0);
}

void sleep_one_microsecond() {
    const timespec pause{0, 1000};
    ::nanosleep(&pause, nullptr);
}

}  // namespace zelto::shm
