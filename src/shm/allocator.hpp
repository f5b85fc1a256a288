// Carves the region's tensor pool into size classes of equal, leased slots. Bookkeeping lives
// in the client process only; the engine never sees it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelto::shm {

using Clock = std::chrono::steady_clock;
// Injectable monotonic clock, so lease expiry is testable without sleeping.
using ClockFn = std::function<Clock::time_point()>;

// Slots that other processes may use too. A slot is taken only once this process has claimed it
// (a byte lock, shm/region_locks.hpp, a system call each way; bench: no scenario reruns this
// yet). A claim is kept after the slot is released, so a process that calls again and again
// reuses its slot without a system call; it is given up once the process keeps more than one
// claimed slot of a class unused, and at once in a class of a single slot. So an idle process
// keeps at most one slot of each class it used.
class SlotClaims {
  public:
    // False when another process holds the slot.
    virtual bool claim(std::uint64_t offset) = 0;
    virtual void unclaim(std::uint64_t offset) = 0;

  protected:
    ~SlotClaims() = default;
};

class SimpleShmAllocator {
  public:
    // A slot that another process held is passed over for this long, unless nothing else is free.
    static constexpr std::chrono::milliseconds kRetryHeldElsewhere{2};

    // `claims` (may be null: no other process shares the slots) must outlive the allocator.
    SimpleShmAllocator(std::uint64_t base, std::uint64_t slot_size, std::uint64_t slots,
                       Clock::duration lease, ClockFn clock, SlotClaims* claims = nullptr);
    std::optional<std::uint64_t> try_allocate(std::uint64_t size);
    bool release(std::uint64_t offset);

    std::uint64_t base() const { return base_; }
    std::uint64_t slot_size() const { return slot_size_; }
    std::uint64_t slots() const { return slots_; }

  private:
    std::uint64_t base_;
    std::uint64_t slot_size_;
    std::uint64_t slots_;
    Clock::duration lease_;
    ClockFn clock_;
    struct Slot {
        std::optional<Clock::time_point> lease_end;  // empty = free
        bool claimed = false;                        // this process holds its claim
        Clock::time_point retry_after{};             // another process held it until at least
    };

    // Takes the slot if it is free or expired and (with claims) claimed by us, or claimable now
    // while this class may claim another one; `ask_again` ignores retry_after.
    bool take(Slot& slot, std::uint64_t offset, Clock::time_point now, bool may_claim,
              bool ask_again);

    std::atomic<std::uint64_t> cursor_{0};
    SlotClaims* claims_;
    std::mutex mutex_;
    std::vector<Slot> slot_states_;
};

struct ShmAllocatorClass {
    std::string name;
    std::unique_ptr<SimpleShmAllocator> allocator;
    std::uint64_t base;
    std::uint64_t slot_size;
    std::uint64_t slots;
    std::uint64_t region_bytes;  // slot_size * slots, saturating
};

class TieredShmAllocator {
  public:
    static constexpr std::chrono::seconds kDefaultLease{30};

    // `classes` are (slot size, weight) pairs.
    static TieredShmAllocator new_with_class_budgets(
        std::uint64_t pool_offset, std::uint64_t pool_size,
        const std::vector<std::pair<std::uint64_t, std::uint32_t>>& classes, Clock::duration lease,
        ClockFn clock = {}, SlotClaims* claims = nullptr);
    static TieredShmAllocator new_with_default_classes(std::uint64_t pool_offset,
                                                       std::uint64_t pool_size,
                                                       Clock::duration lease, ClockFn clock = {},
                                                       SlotClaims* claims = nullptr);

    std::optional<std::uint64_t> try_allocate(std::uint64_t size);
    bool release(std::uint64_t offset);
    std::uint64_t largest_slot_size() const;
    std::string layout_summary() const;
    const std::vector<ShmAllocatorClass>& classes() const { return classes_; }

  private:
    std::vector<ShmAllocatorClass> classes_;
};

// "SHM tensor pool exhausted (required=R bytes, largest_slot=L bytes, layout=...)".
std::string pool_exhausted_text(std::uint64_t required, const TieredShmAllocator& allocator);

}  // namespace zelto::shm
