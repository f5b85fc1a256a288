// Remembers that a waiting thread's processor is crowded, so that its next waits skip their
// yielding spins and block at once.
//
// A spin that yields between two looks relies on sched_yield coming back soon. When other
// runnable threads share the processor (a busy machine), one yield can hand it away until the
// scheduler's next tick (4 ms at 250 Hz), where a thread blocked on a descriptor is woken, and
// preferred, as soon as its answer comes. Measured on the 2-vCPU development VM with two busy
// loops beside a shared-memory client and the mock engine, 4 KiB calls: 4.0 ms at the median in
// two runs of three while the client watched the ring between yields, 3.9-4.0 us in every run
// going straight to the notification descriptor.
//
// A yield that keeps the thread away for longer than kLongYield shows such a neighbour. A peer
// sharing the processor hands it back sooner (the mock engine copies a megabyte in about
// 0.2 ms); with the bar at the spin's own length (50 us), 1 MiB calls on a quiet machine were
// 4-8 % slower, presumably from such copies. The next kWaitsWithoutSpin waits then block at
// once; the one after them spins again, to look.
#pragma once

#include <chrono>
#include <cstddef>

namespace zelto {

class CrowdedProcessor {
  public:
    static constexpr std::size_t kWaitsWithoutSpin = 256;
    static constexpr std::chrono::milliseconds kLongYield{1};

    // Whether the wait starting now may spin. Counts down the waits that may not.
    bool spin_allowed();

    // After one yield of a spin: `took` is how long the thread was away. False when that was
    // longer than kLongYield: the caller should stop spinning and block, and the next
    // kWaitsWithoutSpin waits will not spin.
    bool after_yield(std::chrono::nanoseconds took);

  private:
    std::size_t waits_without_spin_ = 0;
};

// One wait's spin that yields between looks: it lasts `budget` from `start`, and with a
// `crowding` to report to, it does not spin at all while that says the waits may not, and a yield
// that kept the thread away for over kLongYield ends it (and turns the next waits' spins off).
// Without one (a thread confined to one processor, where the yields are what lets the peer run,
// however long they take) only the budget ends it.
class WatchedSpin {
  public:
    using Clock = std::chrono::steady_clock;

    WatchedSpin(CrowdedProcessor* crowding, std::chrono::nanoseconds budget,
                Clock::time_point start)
        : crowding_(crowding),
          budget_(crowding == nullptr || crowding->spin_allowed() ? budget
                                                                  : std::chrono::nanoseconds{0}),
          start_(start),
          last_look_(start) {}

    // After a look at `now` that found nothing: true while the caller should yield
    // (sched_yield) and look again, false once it should wait another way.
    bool yield_again(Clock::time_point now);

  private:
    CrowdedProcessor* crowding_;
    std::chrono::nanoseconds budget_;
    Clock::time_point start_;
    Clock::time_point last_look_;
    bool yielded_ = false;
};

}  // namespace zelto
