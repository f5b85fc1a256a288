// Whether a thread that waits for one peer's replies should spin before it blocks, learnt from
// the replies so far. One per connection: the answer depends on where the scheduler has put the
// peer's thread, and that placement belongs to the connection and tends to stick.
//
// Spinning pays when the peer runs on another processor: the caller keeps its own, so a reply
// needs no wake-up of the caller (tens of microseconds on a virtual machine whose idle vCPUs
// halt; common/spin_before_park.hpp). When the scheduler has put the peer's thread on the
// caller's processor, the peer runs only while the caller yields, and the yields cost more than
// they save (measured on the 2-vCPU development VM, Python client and mock engine both on one
// vCPU, 64-byte calls: 5.5-5.7 us spinning, 4.6-4.8 us blocking at once).
//
// That placement shows in the replies: the reply is there before the first yield or right after
// it, where a peer on another processor needs at least a wake-up and its own work, several
// yields' worth. After kSharedRepliesToBlock such replies in a row the waits block at once.
// Blocking waits are timed; kSlowWaitsToSpin of them in a row that each took longer than
// kSlowBlockingWait and twice the quickest one since blocking began say the peer has moved to
// another processor, and the waits spin again. A peer that is merely slow to answer keeps its
// quickest wait slow too, so it does not flip the policy back and forth. The waits never spin
// just to look: on the development VM a single spinning wait among blocking ones put the pair
// into a slower rhythm for many calls after it.
#pragma once

#include <chrono>
#include <cstddef>

namespace zelto {

class AdaptiveSpin {
  public:
    static constexpr std::size_t kSharedRepliesToBlock = 8;
    static constexpr std::size_t kMostYieldsOfSharedReply = 1;
    static constexpr std::chrono::microseconds kSlowBlockingWait{20};
    static constexpr std::size_t kSlowWaitsToSpin = 4;

    // A budget of zero never spins.
    explicit AdaptiveSpin(std::chrono::microseconds budget = {}) : budget_(budget) {}

    // The spin configured, whatever the replies said.
    std::chrono::microseconds budget() const { return budget_; }

    // True while waits block at once although a spin is configured.
    bool blocking() const { return blocking_; }

    // The spin the next wait gets: the budget, or zero while blocking.
    std::chrono::microseconds next_spin() const {
        return blocking_ ? std::chrono::microseconds{0} : budget_;
    }

    // A wait that spun ended: its reply came after `yields` yields, or the spin ran out and the
    // wait blocked (`ran_out`).
    void after_spinning_wait(std::size_t yields, bool ran_out);

    // A wait that blocked at once ended after `waited`.
    void after_blocking_wait(std::chrono::nanoseconds waited);

  private:
    std::chrono::microseconds budget_;
    bool blocking_ = false;
    std::size_t shared_replies_ = 0;            // in a row, while spinning
    std::size_t slow_waits_ = 0;                // in a row, while blocking
    std::chrono::nanoseconds quickest_wait_{};  // since blocking began
};

}  // namespace zelto
