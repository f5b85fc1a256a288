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

class SimpleShmAllocator {
  public:
    SimpleShmAllocator(std::uint64_t base, std::uint64_t slot_size, std::uint64_t slots,
                       Clock::duration lease, ClockFn clock);
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
    std::atomic<std::uint64_t> cursor_{0};
    std::mutex mutex_;
    std::vector<std::optional<Clock::time_point>> slot_states_;  // empty = free
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
        ClockFn clock = {});
    static TieredShmAllocator new_with_default_classes(std::uint64_t pool_offset,
                                                       std::uint64_t pool_size,
                                                       Clock::duration lease, ClockFn clock = {});

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
