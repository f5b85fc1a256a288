#include "shm/ring_buffer.hpp"

#include <sched.h>

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstring>

#include "common/cpu_pause.hpp"

namespace zelto::shm {
namespace {

using Counter = std::atomic_ref<std::uint64_t>;

// How long a producer waits for earlier reservations to be published. A live producer publishes
// within microseconds; waiting for good would hang the caller (with the interpreter lock held)
// on a dead producer or on counters the engine corrupted.
constexpr std::chrono::seconds kPublishLimit{5};

bool in_range(std::uint64_t index) {
    return index < kRingCapacity;
}

QueueError out_of_range(std::uint64_t reserve, std::uint64_t commit, std::uint64_t read) {
    return {QueueError::Kind::CountersOutOfRange, reserve, commit, read};
}

}  // namespace

std::string QueueError::display() const {
    if (kind == Kind::Full) return "Queue is full";
    if (kind == Kind::Stalled) {
        return "Shared-memory ring stalled: an earlier entry was not published (commit_index=" +
               std::to_string(commit_index) + ", reserved entry " + std::to_string(reserve_index) +
               ")";
    }
    return "Shared-memory ring counters out of range (reserve_index=" +
           std::to_string(reserve_index) + ", commit_index=" + std::to_string(commit_index) +
           ", read_index=" + std::to_string(read_index) + "; capacity " +
           std::to_string(kRingCapacity) + ")";
}

template <class Entry>
LockFreeRingBuffer<Entry>::LockFreeRingBuffer(std::uint8_t* ring)
    : reserve_index_(reinterpret_cast<std::uint64_t*>(ring)),
      commit_index_(reinterpret_cast<std::uint64_t*>(ring + sizeof(Entry))),
      read_index_(reinterpret_cast<std::uint64_t*>(ring + 2 * sizeof(Entry))),
      entries_(ring + 3 * sizeof(Entry)) {
    assert(reinterpret_cast<std::uintptr_t>(ring) % Counter::required_alignment == 0);
}

template <class Entry>
Result<void, QueueError> LockFreeRingBuffer<Entry>::push(const Entry& entry) {
    Counter reserve(*reserve_index_);
    Counter commit(*commit_index_);
    Counter read(*read_index_);

    std::uint64_t w = 0;
    std::uint64_t next = 0;
    for (;;) {
        w = reserve.load(std::memory_order_acquire);
        const std::uint64_t r = read.load(std::memory_order_acquire);
        // The commit counter is checked up front too: once reserved, an entry can only be
        // abandoned, and a commit value no producer can ever match would spin for good.
        const std::uint64_t c = commit.load(std::memory_order_acquire);
        if (!in_range(w) || !in_range(r) || !in_range(c)) return unexpected(out_of_range(w, c, r));
        next = (w + 1) % kRingCapacity;
        if (next == r) return unexpected(QueueError{});
        if (reserve.compare_exchange_strong(w, next, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            break;
        }
    }

    std::memcpy(entries_ + w * sizeof(Entry), &entry, sizeof(Entry));

    // Publish strictly in reservation order: wait for every earlier producer to publish first.
    const auto started = std::chrono::steady_clock::now();
    for (std::uint64_t attempt = 1;; ++attempt) {
        std::uint64_t expected = w;
        if (commit.compare_exchange_strong(expected, next, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return {};
        }
        if (!in_range(expected)) {
            return unexpected(out_of_range(reserve.load(std::memory_order_acquire), expected,
                                           read.load(std::memory_order_acquire)));
        }
        if (attempt % 64 == 0) {
            if (std::chrono::steady_clock::now() - started > kPublishLimit) {
                return unexpected(QueueError{QueueError::Kind::Stalled, w, expected,
                                             read.load(std::memory_order_acquire)});
            }
            sched_yield();
        } else {
            cpu_pause();
        }
    }
}

template <class Entry>
Result<std::optional<Entry>, QueueError> LockFreeRingBuffer<Entry>::pop() {
    Counter commit(*commit_index_);
    Counter read(*read_index_);
    for (;;) {
        std::uint64_t h = read.load(std::memory_order_acquire);
        const std::uint64_t t = commit.load(std::memory_order_acquire);
        if (!in_range(h) || !in_range(t)) {
            return unexpected(
                out_of_range(Counter(*reserve_index_).load(std::memory_order_acquire), t, h));
        }
        if (h == t) return std::optional<Entry>{};
        const std::uint64_t claimed = h;
        if (!read.compare_exchange_strong(h, (h + 1) % kRingCapacity, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
            continue;
        }
        // The claim comes before the copy: a producer reuses this cell only once read_index has
        // moved past the following entry as well.
        Entry entry;
        std::memcpy(&entry, entries_ + claimed * sizeof(Entry), sizeof(Entry));
        return std::optional<Entry>(entry);
    }
}

template <class Entry>
bool LockFreeRingBuffer<Entry>::holds_published_entry() const {
    return Counter(*read_index_).load(std::memory_order_acquire) !=
           Counter(*commit_index_).load(std::memory_order_acquire);
}

template <class Entry>
RingCounters LockFreeRingBuffer<Entry>::counters_at(const std::uint8_t* ring) {
    // The cells of the constructor: reserve_index, commit_index, read_index, one entry apart.
    // __atomic_load_n, unlike std::atomic_ref, takes a pointer to const.
    const auto load = [ring](std::size_t cell) {
        return __atomic_load_n(reinterpret_cast<const std::uint64_t*>(ring + cell * sizeof(Entry)),
                               __ATOMIC_ACQUIRE);
    };
    return {load(0), load(1), load(2)};
}

bool RingCounters::in_range() const {
    return zelto::shm::in_range(reserve_index) && zelto::shm::in_range(commit_index) &&
           zelto::shm::in_range(read_index);
}

std::uint64_t RingCounters::queued() const {
    return (commit_index + kRingCapacity - read_index) % kRingCapacity;
}

std::uint64_t RingCounters::unpublished() const {
    return (reserve_index + kRingCapacity - commit_index) % kRingCapacity;
}

template class LockFreeRingBuffer<ShmRequestEntry>;
template class LockFreeRingBuffer<ShmResponseEntry>;

}  // namespace zelto::shm
