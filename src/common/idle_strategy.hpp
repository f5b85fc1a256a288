// How every wait of the library spends the time until its answer is there: the socket client's
// receive of a reply, the hybrid client's receive before it parks on its event loop, the
// shared-memory client's watch of the response ring, its wait for the engine's notification and
// its polling, and the mock engine's idle loop. All of their bounds are below.
//
// A wait (IdleWait) goes through up to three phases, each bounded from the wait's start:
//   1. busy: looks with the processor's pause instruction between them. The thread keeps its
//      processor, so an answer needs no wake-up of the caller, and nothing is handed away;
//   2. yielding: looks with sched_yield between them. A peer that waits for this thread's
//      processor runs at the first yield; with nothing else runnable a yield returns at once;
//   3. blocking: the caller blocks in the kernel. Where nothing can wake the caller (memory that
//      is polled), it sleeps between looks instead, 1 us first and twice as long each time up
//      to the phases' longest sleep, with the thread's timer slack lowered so that a short sleep
//      is short.
//
// Spinning pays on an idle machine: a virtual machine halts its idle processors, and waking a
// thread that blocked costs tens of microseconds, more than a local engine needs to answer a
// small request. Yielding costs dear on a busy machine: with another runnable thread on the
// processor, one sched_yield can hand it away for a scheduler tick (4 ms at 250 Hz), and so can
// blocking after a long spin (the spin used up the thread's share of the processor, so its
// wake-up waits for the other thread's turn to end). A thread that keeps spinning keeps its turn.
// A wait sees the crowding as a yield, or a gap between two looks, far longer than a look and a
// yield (kCrowdedGap). From then on, and for the next kWaitsAfterCrowding waits of the same
// IdleStrategy, the whole spin pauses. The wait after those yields again, and so finds out when
// the crowding is over.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zelto {

// A wait's bounds, from its start. busy <= yielding; a longest_sleep of zero means the caller
// blocks once the spin is over.
struct IdlePhases {
    std::chrono::nanoseconds busy{};
    std::chrono::nanoseconds yielding{};
    std::chrono::nanoseconds longest_sleep{};

    // The same with a yielding phase longer by `extra` (an answer known to come late).
    constexpr IdlePhases yielding_longer(std::chrono::nanoseconds extra) const {
        return {busy, yielding + extra, longest_sleep};
    }
};

namespace idle {
using std::chrono::microseconds;
using std::chrono::milliseconds;

// How long a wait pauses before its first yield: an answer this quick needs no yield (a local
// engine answers a small request within a few microseconds once it runs), and an engine that
// waits for this thread's processor meanwhile loses little.
inline constexpr microseconds kBusy{20};

// A reply from an engine on this machine (Unix socket or loopback): the spin outlasts the slowest
// engine wake-up on an idle virtual machine (bench: no scenario reruns this yet); a slower
// engine costs each call at most this much processor time.
inline constexpr IdlePhases kLocalSocketReply{kBusy, microseconds{100}, {}};
// A remote engine's replies take longer than any spin: block at once.
inline constexpr IdlePhases kRemoteSocketReply{};

// The hybrid client: parking costs two wake-ups (the engine's write wakes an event-loop worker,
// the worker wakes the caller), so the spin is longer.
inline constexpr IdlePhases kHybridReply{kBusy, microseconds{200}, {}};

// The shared-memory client with a notify descriptor, before it sleeps on the descriptor: long
// enough for a small tensor's answer, short against the 5 s it may then sleep.
inline constexpr IdlePhases kShmBeforeNotification{kBusy, microseconds{50}, {}};
// After the engine published an answer, its write to the descriptor follows within a few
// microseconds; only a pause is worth that.
inline constexpr IdlePhases kNotificationLag{microseconds{5}, microseconds{5}, {}};
// The shared-memory client's polling of the response ring, with the 1 us sleeps it prescribes
// after the spin. The spin covers an engine's copy of a megabyte or so.
inline constexpr IdlePhases kShmPolling{kBusy, microseconds{200}, microseconds{1}};

// The mock engine between two requests: it polls its request ring (nothing wakes it), spinning
// for at least kEngineShortestSpin and kEngineSpinPerBusy times as long as the last request kept
// it busy (a client copies a large result out before it sends again), up to kEngineLongestSpin,
// and sleeps up to 1 ms after that, so an idle engine costs next to nothing.
inline constexpr IdlePhases kEngineIdle{kBusy, microseconds{100}, milliseconds{1}};
inline constexpr int kEngineSpinPerBusy = 4;
inline constexpr std::chrono::nanoseconds kEngineShortestSpin = kEngineIdle.yielding;
inline constexpr std::chrono::nanoseconds kEngineLongestSpin = milliseconds{20};

// A request whose tensor block the engine copies before it answers: the answer comes a copy's
// time later at the earliest, and watching that much longer beats a wake-up. The rate leaves a
// wide margin over a copy on the development machine (bench: bench/run.sh --no-zelto --no-soak,
// the memcpy row); a slower engine is slow for another reason, and the caller sleeps as for any
// slow answer.
inline constexpr microseconds kCopyWatchPerMiB{100};
inline constexpr microseconds kLongestCopyWatch{2000};

// A gap between two looks this long means the thread was away (preempted, or a yield handed the
// processor to another thread), far beyond a look and a yield. A peer sharing the processor hands
// it back sooner unless it copies megabytes, and then blocking costs nothing that matters.
inline constexpr microseconds kCrowdedGap{500};
inline constexpr std::size_t kWaitsAfterCrowding = 256;

// The engine's idle phases after a request that kept it busy for `busy`.
constexpr IdlePhases engine_idle_after(std::chrono::nanoseconds busy) {
    const std::chrono::nanoseconds spin = kEngineSpinPerBusy * busy;
    const std::chrono::nanoseconds bounded =
        spin < kEngineShortestSpin ? kEngineShortestSpin
                                   : (spin > kEngineLongestSpin ? kEngineLongestSpin : spin);
    return {kEngineIdle.busy, bounded, kEngineIdle.longest_sleep};
}

// How much longer than its phases say a wait for a block of `block_bytes` watches.
constexpr microseconds copy_watch(std::uint64_t block_bytes) {
    constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
    constexpr std::uint64_t kBytesAtLongest =
        kLongestCopyWatch.count() / kCopyWatchPerMiB.count() * kMiB;
    const std::uint64_t counted = block_bytes < kBytesAtLongest ? block_bytes : kBytesAtLongest;
    return microseconds(static_cast<std::int64_t>(counted * kCopyWatchPerMiB.count() / kMiB));
}

}  // namespace idle

// What the waits of one connection (or client, or engine loop) have learnt: whether the
// processor was crowded lately. Used by one thread at a time, like the connection.
class IdleStrategy {
  public:
    // Reads the calling thread's affinity mask: a thread that may run on one processor only has
    // no busy phase (it would only keep that processor from a peer sharing it).
    IdleStrategy();
    explicit IdleStrategy(bool confined_to_one_processor) : confined_(confined_to_one_processor) {}

    bool confined_to_one_processor() const { return confined_; }
    // True while waits pause for their whole spin instead of yielding.
    bool crowded() const { return waits_without_yielding_ > 0; }

  private:
    friend class IdleWait;
    // The phases a wait that has begun to idle gets. Counts the crowded waits down.
    IdlePhases phases_for_next_wait(const IdlePhases& phases);
    void saw_crowding() { waits_without_yielding_ = idle::kWaitsAfterCrowding; }
    IdlePhases crowded_phases(const IdlePhases& phases) const;

    bool confined_;
    std::size_t waits_without_yielding_ = 0;
};

// One wait. The caller looks for its answer and, while it is not there, calls idle():
//
//   IdleWait wait(idle::kShmPolling, &strategy);
//   while (!answer_is_there()) {
//       if (!wait.idle()) { block(); break; }
//   }
class IdleWait {
  public:
    enum class Step { None, Paused, Yielded, Slept };

    // Without a strategy the wait learns nothing and is never cut short by crowding.
    IdleWait(const IdlePhases& phases, IdleStrategy* strategy);
    ~IdleWait();
    IdleWait(const IdleWait&) = delete;
    IdleWait& operator=(const IdleWait&) = delete;

    // After a look that found nothing: pauses, yields or sleeps as the phase says and returns
    // true (look again), or returns false once the caller should block. Phases that sleep never
    // return false.
    bool idle();

    // False once idle() would return false at once: the caller may block without looking first.
    bool spins() const {
        return (!spin_over_ && phases_.yielding.count() > 0) || phases_.longest_sleep.count() > 0;
    }

    // What the last idle() did; for tests.
    Step last_step() const { return last_step_; }
    std::chrono::nanoseconds next_sleep() const { return next_sleep_; }

  private:
    using Clock = std::chrono::steady_clock;
    bool spin_step(Clock::time_point now);
    void saw_crowding();
    void sleep_step();

    IdleStrategy* strategy_;
    IdlePhases phases_;
    Clock::time_point start_{};
    Clock::time_point last_idle_{};
    Step last_step_ = Step::None;
    bool begun_ = false;
    bool spin_over_ = false;
    std::chrono::nanoseconds next_sleep_{std::chrono::microseconds{1}};
    long saved_timer_slack_ = -1;  // in ns, once lowered for the sleeps
};

}  // namespace zelto
