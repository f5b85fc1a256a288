// How long the calling thread keeps asking a non-blocking socket before it parks on the event
// loop, and what it does between two tries.
//
// Parking costs two thread wake-ups once the reply is there: the engine's write wakes a worker in
// epoll_wait, the worker wakes the caller. On a machine whose idle processors sleep (a virtual
// machine halts its idle vCPUs), each of those can cost tens of microseconds, more than the
// engine needs to answer a small request. The engine's own wake-up for the request cannot be
// avoided by the client and is, on such a machine, the bulk of a small exchange: the spin has to
// outlast it (measured on the development VM: 20-50 us typically, 70-80 us for the slowest
// hundredth) or the call pays for both.
//
// Between tries the thread gives its processor away with sched_yield. When the scheduler has
// queued the engine's thread on the caller's processor, the engine then runs at once instead of
// waiting for the spinning caller to be preempted or to park; when nothing else wants the
// processor, the yield returns at once and costs about as much as the try itself. (Measured on
// the development VM against pausing between tries: the same median either way; with the
// engine's thread on the caller's processor the slowest hundredth of small calls took 18 us
// instead of about 300 us, where the pausing caller ran out its spin before the engine got the
// processor. With a single processor the engine can only answer while the caller yields.)
#pragma once

#include <chrono>

namespace zelto::sdk {

class SpinBeforePark {
  public:
    // The whole spin: longer than the slowest engine wake-up seen on an idle virtual machine,
    // short enough that a slow engine costs the caller a bounded amount of processor time.
    static constexpr std::chrono::microseconds kBudget{200};

    // Called after a try that found nothing to do. Yields the processor and answers true while
    // the budget lasts; false means the caller should park on the event loop. The budget starts
    // at the first call and is not renewed: once over, every later call answers false.
    bool wait_before_next_try();

  private:
    bool started_ = false;
    std::chrono::steady_clock::time_point started_at_{};
};

}  // namespace zelto::sdk
