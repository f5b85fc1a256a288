// How long a thread waiting for another process keeps asking before it blocks, and what it does
// between two tries. Used by the socket client before a blocking receive and by the hybrid
// client before it parks on its event loop.
//
// Blocking costs a thread wake-up once the answer is there. On a machine whose idle processors
// sleep (a virtual machine halts its idle vCPUs), a wake-up that lands on a sleeping processor
// can cost tens of microseconds, more than the engine needs to answer a small request. The
// engine's own wake-up for the request cannot be avoided by the client and is, on such a
// machine, the bulk of a small exchange: the spin has to outlast it (measured on the development
// VM: 20-50 us typically, 70-80 us for the slowest hundredth) or the call pays for both.
//
// Between tries the thread gives its processor away with sched_yield. When the scheduler has
// queued the engine's thread on the caller's processor, the engine then runs at once instead of
// waiting for the spinning caller to be preempted or to block; when nothing else wants the
// processor, the yield returns at once and costs about as much as the try itself. (Measured on
// the development VM against pausing between tries: the same median either way; with the
// engine's thread on the caller's processor the slowest hundredth of small calls took 18 us
// instead of about 300 us, where the pausing caller ran out its spin before the engine got the
// processor.) A caller confined to one processor spins as well: the engine may run on another
// one, and one that shares the caller's processor runs at the first yield.
#pragma once

#include <chrono>
#include <cstddef>

namespace zelto {

class SpinBeforePark {
  public:
    explicit SpinBeforePark(std::chrono::microseconds budget) : budget_(budget) {}

    // Called after a try that found nothing to do. Yields the processor and answers true while
    // the budget lasts; false means the caller should block. The budget starts at the first call
    // and is not renewed: once over, every later call answers false.
    bool wait_before_next_try();

    // False for a budget of zero: the caller should block at once.
    bool spins() const { return budget_.count() > 0; }

    // How often wait_before_next_try yielded, and whether it has answered false.
    std::size_t yields() const { return yields_; }
    bool ran_out() const { return ran_out_; }

  private:
    std::chrono::microseconds budget_;
    std::size_t yields_ = 0;
    bool ran_out_ = false;
    bool started_ = false;
    std::chrono::steady_clock::time_point started_at_{};
};

}  // namespace zelto
