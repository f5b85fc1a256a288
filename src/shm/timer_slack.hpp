// Short sleeps that really are short. Linux rounds a thread's timed sleeps up by its timer slack
// (50 us by default), so a 1 us nanosleep lasts ~60 us; the slack is per thread and can be
// lowered for the duration of a polling loop.
#pragma once

namespace zelto::shm {

// Lowers the calling thread's timer slack to 1 ns for its lifetime and restores the previous
// value afterwards. Where the system refuses, sleeps simply keep the default slack.
class TimerSlackGuard {
  public:
    TimerSlackGuard();
    ~TimerSlackGuard();
    TimerSlackGuard(const TimerSlackGuard&) = delete;
    TimerSlackGuard& operator=(const TimerSlackGuard&) = delete;

  private:
    long previous_ = -1;  // slack in ns before the guard, -1 if it could not be read
};

// Sleeps for one microsecond (1000 ns), as the response-ring polling requires between polls.
void sleep_one_microsecond();

}  // namespace zelto::shm
