#include "shm/allocator.hpp"

#include <algorithm>
#include <limits>

namespace zelto::shm {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? kU64Max : sum;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? kU64Max : product;
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
    std::int64_t difference = 0;
    if (!__builtin_sub_overflow(a, b, &difference)) return difference;
    return b > 0 ? std::numeric_limits<std::int64_t>::min()
                 : std::numeric_limits<std::int64_t>::max();
}

ClockFn or_steady_clock(ClockFn clock) {
    if (clock) return clock;
    return [] { return Clock::now(); };
}

struct RequestedClass {
    std::uint64_t slot_size;
    std::uint32_t weight;
    std::uint64_t count = 0;
    std::int64_t credit = 0;
};

// Sorted ascending by slot size, zero sizes and weights dropped, equal sizes merged.
std::vector<RequestedClass> normalise(
    const std::vector<std::pair<std::uint64_t, std::uint32_t>>& requested,
    std::uint64_t pool_size) {
    std::vector<RequestedClass> kept;
    for (const auto& [slot_size, weight] : requested) {
        if (slot_size != 0 && weight != 0) kept.push_back({slot_size, weight});
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const auto& a, const auto& b) { return a.slot_size < b.slot_size; });
    std::vector<RequestedClass> merged;
    for (const auto& item : kept) {
        if (!merged.empty() && merged.back().slot_size == item.slot_size) {
            const std::uint64_t weight =
                static_cast<std::uint64_t>(merged.back().weight) + item.weight;
            merged.back().weight =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(weight, kU32Max));
        } else {
            merged.push_back(item);
        }
    }
    if (merged.empty()) merged.push_back({std::max<std::uint64_t>(pool_size, 1), 1});
    return merged;
}

// Gives every class that fits one slot, smallest first, then shares the rest by smooth weighted
// round robin, so the pool ends up split by weight while small classes are never starved.
void distribute(std::vector<RequestedClass>& classes, std::uint64_t pool_size) {
    std::uint64_t remaining = pool_size;
    for (auto& item : classes) {
        if (remaining >= item.slot_size) {
            item.count = 1;
            remaining -= item.slot_size;
        }
    }
    std::uint64_t total_weight = 0;
    for (const auto& item : classes) total_weight += item.weight;  // at most 2^32 * classes
    if (total_weight < 1) total_weight = 1;
    const auto total = static_cast<std::int64_t>(std::min<std::uint64_t>(
        total_weight, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));

    while (remaining > 0) {
        RequestedClass* winner = nullptr;
        for (auto& item : classes) {
            if (item.slot_size > remaining) continue;
            item.credit = saturating_add(item.credit, static_cast<std::int64_t>(item.weight));
            // Strictly greater: on equal credit the earlier (smaller) class keeps the win.
            if (winner == nullptr || item.credit > winner->credit) winner = &item;
        }
        if (winner == nullptr) break;
        winner->count = saturating_add(winner->count, std::uint64_t{1});
        winner->credit = saturating_sub(winner->credit, total);
        remaining -= winner->slot_size;
    }
}

}  // namespace

SimpleShmAllocator::SimpleShmAllocator(std::uint64_t base, std::uint64_t slot_size,
                                       std::uint64_t slots, Clock::duration lease, ClockFn clock,
                                       SlotClaims* claims)
    : base_(base),
      slot_size_(std::max<std::uint64_t>(slot_size, 1)),
      slots_(std::max<std::uint64_t>(slots, 1)),
      lease_(lease),
      clock_(or_steady_clock(std::move(clock))),
      claims_(claims),
      slot_states_(static_cast<std::size_t>(slots_)) {}

bool SimpleShmAllocator::take(Slot& slot, std::uint64_t offset, Clock::time_point now,
                              bool may_claim, bool ask_again) {
    if (slot.lease_end && *slot.lease_end > now) return false;
    if (claims_ != nullptr && !slot.claimed) {
        if (!may_claim || (!ask_again && now < slot.retry_after)) return false;
        if (!claims_->claim(offset)) {
            slot.retry_after = now + kRetryHeldElsewhere;
            return false;
        }
        slot.claimed = true;
    }
    slot.lease_end = now + lease_;
    return true;
}

std::optional<std::uint64_t> SimpleShmAllocator::try_allocate(std::uint64_t size) {
    if (size == 0 || size > slot_size_) return std::nullopt;
    const Clock::time_point now = clock_();
    // Successive calls start their scans at successive slots, whether or not they find one.
    const std::uint64_t start = cursor_.fetch_add(1) % slots_;
    std::lock_guard<std::mutex> lock(mutex_);
    // With claims, a new one is made only while this process holds no more claimed slots than it
    // has leased: a claimed slot that is free is always taken before anything is claimed.
    bool may_claim = false;
    if (claims_ != nullptr) {
        std::uint64_t claimed = 0;
        std::uint64_t leased = 0;
        for (const Slot& slot : slot_states_) {
            claimed += slot.claimed;
            leased += slot.claimed && slot.lease_end && *slot.lease_end > now;
        }
        may_claim = claimed <= leased;
    }
    // A slot that another process held a moment ago is passed over at first, to save asking
    // again on every call; before the class answers "none" it is asked for once more, so that
    // answer is never stale.
    for (const bool ask_again : {false, true}) {
        if (ask_again && claims_ == nullptr) break;
        for (std::uint64_t step = 0; step < slots_; ++step) {
            const std::uint64_t i = (start + step) % slots_;
            if (take(slot_states_[static_cast<std::size_t>(i)], base_ + i * slot_size_, now,
                     may_claim, ask_again)) {
                return base_ + i * slot_size_;
            }
        }
    }
    return std::nullopt;
}

bool SimpleShmAllocator::release(std::uint64_t offset) {
    if (offset < base_) return false;
    const std::uint64_t distance = offset - base_;
    if (distance % slot_size_ != 0) return false;
    const std::uint64_t i = distance / slot_size_;
    if (i >= slots_) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& released = slot_states_[static_cast<std::size_t>(i)];
    released.lease_end.reset();
    if (claims_ != nullptr && released.claimed) {
        // One unused claimed slot is kept for the next call, a second one goes back; so does
        // the only slot of a class, which another process would otherwise never get.
        const Clock::time_point now = clock_();
        std::uint64_t unused = 0;
        for (const Slot& slot : slot_states_) {
            unused += slot.claimed && !(slot.lease_end && *slot.lease_end > now);
        }
        if (unused > (slots_ > 1 ? 1u : 0u)) {
            claims_->unclaim(offset);
            released.claimed = false;
        }
    }
    return true;
}

TieredShmAllocator TieredShmAllocator::new_with_class_budgets(
    std::uint64_t pool_offset, std::uint64_t pool_size,
    const std::vector<std::pair<std::uint64_t, std::uint32_t>>& classes, Clock::duration lease,
    ClockFn clock, SlotClaims* claims) {
    clock = or_steady_clock(std::move(clock));
    std::vector<RequestedClass> requested = normalise(classes, pool_size);
    distribute(requested, pool_size);

    TieredShmAllocator allocator;
    std::uint64_t running = pool_offset;
    for (std::size_t j = 0; j < requested.size(); ++j) {
        const auto& item = requested[j];
        if (item.count == 0) continue;  // left out; names keep the index, so they may skip
        const std::uint64_t bytes = saturating_mul(item.slot_size, item.count);
        allocator.classes_.push_back(
            ShmAllocatorClass{"class" + std::to_string(j),
                              std::make_unique<SimpleShmAllocator>(
                                  running, item.slot_size, item.count, lease, clock, claims),
                              running, item.slot_size, item.count, bytes});
        running = saturating_add(running, bytes);
    }
    if (allocator.classes_.empty()) {
        const std::uint64_t slot_size = std::max<std::uint64_t>(pool_size, 1);
        allocator.classes_.push_back(ShmAllocatorClass{
            "class0",
            std::make_unique<SimpleShmAllocator>(pool_offset, slot_size, 1, lease, clock, claims),
            pool_offset, slot_size, 1, slot_size});
    }
    return allocator;
}

TieredShmAllocator TieredShmAllocator::new_with_default_classes(std::uint64_t pool_offset,
                                                                std::uint64_t pool_size,
                                                                Clock::duration lease,
                                                                ClockFn clock, SlotClaims* claims) {
    static const std::vector<std::pair<std::uint64_t, std::uint32_t>> kDefaultClasses = {
        {262144, 1}, {1048576, 1}, {4194304, 1}, {16777216, 1}, {67108864, 1}};
    return new_with_class_budgets(pool_offset, pool_size, kDefaultClasses, lease, std::move(clock),
                                  claims);
}

std::optional<std::uint64_t> TieredShmAllocator::try_allocate(std::uint64_t size) {
    if (size == 0) return std::nullopt;
    auto first = std::find_if(classes_.begin(), classes_.end(),
                              [size](const auto& item) { return item.slot_size >= size; });
    for (auto it = first; it != classes_.end(); ++it) {
        if (auto offset = it->allocator->try_allocate(size)) return offset;
    }
    return std::nullopt;
}

bool TieredShmAllocator::release(std::uint64_t offset) {
    for (auto& item : classes_) {
        if (item.base <= offset && offset < saturating_add(item.base, item.region_bytes)) {
            return item.allocator->release(offset);
        }
    }
    return false;
}

std::uint64_t TieredShmAllocator::largest_slot_size() const {
    std::uint64_t largest = 0;
    for (const auto& item : classes_) largest = std::max(largest, item.slot_size);
    return largest;
}

std::string TieredShmAllocator::layout_summary() const {
    std::string summary;
    for (const auto& item : classes_) {
        if (!summary.empty()) summary += ", ";
        summary += item.name + "(base=" + std::to_string(item.base) +
                   " slot_size=" + std::to_string(item.slot_size) +
                   " slots=" + std::to_string(item.slots) + ")";
    }
    return summary;
}

std::string pool_exhausted_text(std::uint64_t required, const TieredShmAllocator& allocator) {
    return "SHM tensor pool exhausted (required=" + std::to_string(required) +
           " bytes, largest_slot=" + std::to_string(allocator.largest_slot_size()) +
           " bytes, layout=" + allocator.layout_summary() + ")";
}

}  // namespace zelto::shm
