// The two rings inside the region: bounded multi-producer / multi-consumer queues of fixed-size
// entries, driven only by three atomic 64-bit counters in shared memory, so client and engine hand
// entries over without a lock or a system call.
//
// Ring layout for an entry of E bytes: 1024 cells of E bytes. Cell 0 holds reserve_index, cell 1
// commit_index, cell 2 read_index (each in the cell's first 8 bytes); entry i lives in cell 3 + i.
// Capacity is 1021 and one entry always stays empty, so at most 1020 are queued.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"

namespace zelto::shm {

// Entry slots in a ring (one always stays empty), and the bound of every counter: each lies in
// 0..kRingCapacity - 1.
inline constexpr std::uint64_t kRingCapacity = 1021;

// Request ring entry (client -> engine).
struct ShmRequestEntry {
    std::uint8_t metadata[24];  // transport RequestMetadata, 24-byte little-endian layout
    std::uint64_t shm_offset;   // tensor block, from the start of the region
    std::uint64_t shm_size;     // 80 + data length
};
static_assert(sizeof(ShmRequestEntry) == 40);
static_assert(offsetof(ShmRequestEntry, metadata) == 0);
static_assert(offsetof(ShmRequestEntry, shm_offset) == 24);
static_assert(offsetof(ShmRequestEntry, shm_size) == 32);

// Response ring entry (engine -> client).
struct ShmResponseEntry {
    std::uint64_t request_id;
    std::uint8_t status;  // 0 = success
    std::uint8_t reserved[15];
    std::uint64_t shm_offset;    // success: result tensor block
    std::uint64_t data_len;      // written by the engine, not read by the client
    std::uint64_t error_offset;  // failure: ShmErrorText, or 0 for none
};
static_assert(sizeof(ShmResponseEntry) == 48);
static_assert(offsetof(ShmResponseEntry, status) == 8);
static_assert(offsetof(ShmResponseEntry, shm_offset) == 24);
static_assert(offsetof(ShmResponseEntry, data_len) == 32);
static_assert(offsetof(ShmResponseEntry, error_offset) == 40);

struct QueueError {
    enum class Kind {
        Full,
        // A counter in shared memory lies outside 0..1020. The engine writes the counters too, so
        // this is reported instead of indexing (or spinning) with a value no ring can hold.
        CountersOutOfRange,
        // An earlier reservation was not published within kPublishLimit: its producer died, or
        // the engine wrote counters that no producer can ever match.
        Stalled,
    };
    Kind kind = Kind::Full;
    std::uint64_t reserve_index = 0;
    std::uint64_t commit_index = 0;
    std::uint64_t read_index = 0;

    // "Queue is full", "Shared-memory ring counters out of range (reserve_index=R,
    // commit_index=C, read_index=D; capacity 1021)", or "Shared-memory ring stalled: ...".
    std::string display() const;
};

// A ring's three counters as read at one moment, for tools that only look (zelto-shm-inspect).
struct RingCounters {
    std::uint64_t reserve_index = 0;
    std::uint64_t commit_index = 0;
    std::uint64_t read_index = 0;

    // Whether every counter lies in 0..1020, the only values a ring can hold.
    bool in_range() const;
    // Entries published and not yet popped, and entries reserved but not yet published; both
    // only meaningful when in_range().
    std::uint64_t queued() const;
    std::uint64_t unpublished() const;
};

template <class Entry>
class LockFreeRingBuffer {
  public:
    static constexpr std::uint64_t kCells = 3 + kRingCapacity;      // three counters, then entries
    static constexpr std::uint64_t kSpan = kCells * sizeof(Entry);  // bytes the ring occupies

    // `ring` must point at kSpan mapped bytes, 8-byte aligned (the counters are atomic words).
    // The handle owns nothing and can be rebuilt at will.
    explicit LockFreeRingBuffer(std::uint8_t* ring);

    // Appends `entry`, or fails with Full at once (nothing changed). Waits only while an earlier
    // producer has reserved but not yet published its entry.
    Result<void, QueueError> push(const Entry& entry);

    // Removes and returns the oldest published entry; nothing when the ring is empty.
    Result<std::optional<Entry>, QueueError> pop();

    // Whether a published entry is waiting to be popped (read_index differs from commit_index).
    // Only looks: nothing is claimed or changed, so a waiter can watch the ring cheaply and leave
    // the popping (and the reporting of corrupt counters) to pop().
    bool holds_published_entry() const;

    // The counters of the ring at `ring`, read with acquire loads and without writing, so the
    // ring may lie in a read-only mapping.
    static RingCounters counters_at(const std::uint8_t* ring);

  private:
    std::uint64_t* reserve_index_;
    std::uint64_t* commit_index_;
    std::uint64_t* read_index_;
    std::uint8_t* entries_;
};

using RequestRing = LockFreeRingBuffer<ShmRequestEntry>;
using ResponseRing = LockFreeRingBuffer<ShmResponseEntry>;

static_assert(RequestRing::kSpan == 40960);
static_assert(ResponseRing::kSpan == 49152);

}  // namespace zelto::shm
