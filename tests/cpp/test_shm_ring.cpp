#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "shm/ring_buffer.hpp"

namespace zelto::shm {
namespace {

// A ring in ordinary memory with guard bytes behind it that must never change.
template <class Entry>
class RingMemory {
  public:
    static constexpr std::size_t kGuard = 4096;
    RingMemory() : words_((LockFreeRingBuffer<Entry>::kSpan + kGuard) / 8, 0) {
        std::memset(bytes() + LockFreeRingBuffer<Entry>::kSpan, 0xA5, kGuard);
    }
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(words_.data()); }
    LockFreeRingBuffer<Entry> ring() { return LockFreeRingBuffer<Entry>(bytes()); }
    std::uint64_t& counter(int cell) {
        return *reinterpret_cast<std::uint64_t*>(bytes() + cell * sizeof(Entry));
    }
    std::uint64_t& reserve() { return counter(0); }
    std::uint64_t& commit() { return counter(1); }
    std::uint64_t& read() { return counter(2); }
    Entry raw_entry(std::size_t i) {
        Entry entry;
        std::memcpy(&entry, bytes() + (3 + i) * sizeof(Entry), sizeof entry);
        return entry;
    }
    bool guard_intact() {
        const std::uint8_t* guard = bytes() + LockFreeRingBuffer<Entry>::kSpan;
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (guard[i] != 0xA5) return false;
        }
        return true;
    }

  private:
    std::vector<std::uint64_t> words_;
};

ShmRequestEntry request(std::uint64_t tag, std::uint64_t sequence) {
    ShmRequestEntry entry{};
    std::memcpy(entry.metadata, &sequence, sizeof sequence);
    entry.shm_offset = tag;
    entry.shm_size = sequence;
    return entry;
}

TEST(Ring, EntryLayouts) {
    EXPECT_EQ(RequestRing::kSpan, 40960u);
    EXPECT_EQ(ResponseRing::kSpan, 49152u);
    EXPECT_EQ(QueueError{}.display(), "Queue is full");
}

TEST(Ring, FreshRingHoldsExactly1020Entries) {
    RingMemory<ShmRequestEntry> memory;
    auto ring = memory.ring();
    for (std::uint64_t i = 0; i < 1020; ++i) ASSERT_TRUE(ring.push(request(1, i))) << i;
    auto refused = ring.push(request(1, 1020));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, QueueError::Kind::Full);
    EXPECT_EQ(refused.error().display(), "Queue is full");
    EXPECT_EQ(memory.reserve(), 1020u);
    EXPECT_EQ(memory.commit(), 1020u);
    EXPECT_EQ(memory.read(), 0u);

    auto first = ring.pop();
    ASSERT_TRUE(first && *first);
    EXPECT_EQ((*first)->shm_size, 0u);
    EXPECT_TRUE(ring.push(request(1, 1020)));
    EXPECT_FALSE(ring.push(request(1, 1021)));
    EXPECT_TRUE(memory.guard_intact());
}

TEST(Ring, EntriesWrapAroundAfterEntry1020) {
    RingMemory<ShmResponseEntry> memory;
    auto ring = memory.ring();
    for (std::uint64_t i = 1; i <= 1022; ++i) {
        ShmResponseEntry entry{};
        entry.request_id = i;
        ASSERT_TRUE(ring.push(entry));
        auto popped = ring.pop();
        ASSERT_TRUE(popped && *popped);
        EXPECT_EQ((*popped)->request_id, i);
    }
    EXPECT_EQ(memory.raw_entry(1020).request_id, 1021u);
    EXPECT_EQ(memory.raw_entry(0).request_id, 1022u);  // the 1022nd entry lands in entry 0
    EXPECT_EQ(memory.read(), 1u);
    auto empty = ring.pop();
    ASSERT_TRUE(empty);
    EXPECT_FALSE(*empty);
    EXPECT_TRUE(memory.guard_intact());
}

TEST(Ring, ReservedButUnpublishedEntriesStayInvisible) {
    RingMemory<ShmRequestEntry> memory;
    auto ring = memory.ring();
    for (std::uint64_t i = 0; i < 3; ++i) ASSERT_TRUE(ring.push(request(7, i)));
    memory.reserve() = 5;  // two producers between reservation and publication
    for (std::uint64_t i = 0; i < 3; ++i) {
        auto popped = ring.pop();
        ASSERT_TRUE(popped && *popped);
        EXPECT_EQ((*popped)->shm_size, i);
    }
    auto nothing = ring.pop();
    ASSERT_TRUE(nothing);
    EXPECT_FALSE(*nothing);
    EXPECT_EQ(memory.read(), 3u);
}

// The waiter's look at the ring: true exactly while pop() would hand out an entry, and looking
// takes nothing off the ring.
TEST(Ring, HoldsPublishedEntryLooksWithoutTaking) {
    RingMemory<ShmResponseEntry> memory;
    auto ring = memory.ring();
    EXPECT_FALSE(ring.holds_published_entry());
    memory.reserve() = 1;  // a producer between reservation and publication
    EXPECT_FALSE(ring.holds_published_entry());
    memory.reserve() = 0;

    ShmResponseEntry answer{};
    answer.request_id = 7;
    ASSERT_TRUE(ring.push(answer));
    EXPECT_TRUE(ring.holds_published_entry());
    EXPECT_TRUE(ring.holds_published_entry());
    EXPECT_EQ(memory.read(), 0u);
    auto popped = ring.pop();
    ASSERT_TRUE(popped && *popped);
    EXPECT_EQ((*popped)->request_id, 7u);
    EXPECT_FALSE(ring.holds_published_entry());

    memory.reserve() = 0;  // one entry in the last cell, the counters wrapped
    memory.commit() = 0;
    memory.read() = 1020;
    EXPECT_TRUE(ring.holds_published_entry());
    EXPECT_EQ(memory.read(), 1020u);
}

// Counters in range but inconsistent (commit ahead of every reservation) can never be matched
// by the publishing CAS: push gives up after its publish limit instead of spinning for good.
TEST(Ring, PushGivesUpOnAPublicationThatNeverComes) {
    RingMemory<ShmRequestEntry> memory;
    memory.reserve() = 3;
    memory.commit() = 5;
    auto pushed = memory.ring().push(request(1, 1));
    ASSERT_FALSE(pushed);
    EXPECT_EQ(pushed.error().kind, QueueError::Kind::Stalled);
    EXPECT_EQ(pushed.error().display(),
              "Shared-memory ring stalled: an earlier entry was not published (commit_index=5, "
              "reserved entry 3)");
    EXPECT_TRUE(memory.guard_intact());
}

TEST(Ring, LaterProducerPublishesOnlyAfterTheEarlierOne) {
    RingMemory<ShmRequestEntry> memory;
    auto ring = memory.ring();
    // Producer A reserves entry 0 by hand and does not publish yet.
    memory.reserve() = 1;
    std::atomic<bool> b_done{false};
    std::thread producer_b([&] {
        auto pushed = memory.ring().push(request(2, 1));
        EXPECT_TRUE(pushed);
        b_done.store(true);
    });
    // B has reserved entry 1 and written it, but cannot publish past A's entry.
    while (std::atomic_ref<std::uint64_t>(memory.reserve()).load() != 2) sched_yield();
    for (int i = 0; i < 1000; ++i) sched_yield();
    EXPECT_EQ(std::atomic_ref<std::uint64_t>(memory.commit()).load(), 0u);
    EXPECT_FALSE(b_done.load());
    auto nothing = ring.pop();
    ASSERT_TRUE(nothing);
    EXPECT_FALSE(*nothing);

    // A writes and publishes entry 0; B's publication follows.
    const ShmRequestEntry a = request(1, 0);
    std::memcpy(memory.bytes() + 3 * sizeof(ShmRequestEntry), &a, sizeof a);
    std::uint64_t expected = 0;
    ASSERT_TRUE(
        std::atomic_ref<std::uint64_t>(memory.commit()).compare_exchange_strong(expected, 1));
    producer_b.join();
    EXPECT_EQ(memory.commit(), 2u);
    for (std::uint64_t tag : {1u, 2u}) {
        auto popped = ring.pop();
        ASSERT_TRUE(popped && *popped);
        EXPECT_EQ((*popped)->shm_offset, tag);
    }
}

struct BadCounters {
    const char* label;
    std::uint64_t reserve, commit, read;
    bool push_refused;
    bool pop_refused;
};

class RingCounters : public ::testing::TestWithParam<BadCounters> {};

TEST_P(RingCounters, OutOfRangeCountersAreReportedNotUsed) {
    const BadCounters& bad = GetParam();
    RingMemory<ShmResponseEntry> memory;
    memory.reserve() = bad.reserve;
    memory.commit() = bad.commit;
    memory.read() = bad.read;
    auto ring = memory.ring();

    auto pushed = ring.push(ShmResponseEntry{});
    EXPECT_EQ(!pushed, bad.push_refused);
    if (!pushed) {
        EXPECT_EQ(pushed.error().kind, QueueError::Kind::CountersOutOfRange);
        EXPECT_EQ(pushed.error().display(),
                  "Shared-memory ring counters out of range (reserve_index=" +
                      std::to_string(bad.reserve) + ", commit_index=" + std::to_string(bad.commit) +
                      ", read_index=" + std::to_string(bad.read) + "; capacity 1021)");
        // Refused before anything was reserved.
        EXPECT_EQ(memory.reserve(), bad.reserve);
    }
    auto popped = ring.pop();
    EXPECT_EQ(!popped, bad.pop_refused);
    EXPECT_EQ(memory.read(), bad.read);
    EXPECT_TRUE(memory.guard_intact());
}

INSTANTIATE_TEST_SUITE_P(Ring, RingCounters,
                         ::testing::Values(BadCounters{"reserve", 5000, 0, 0, true, false},
                                           BadCounters{"commit", 3, 2000, 0, true, true},
                                           BadCounters{"read", 0, 0, 1021, true, true},
                                           BadCounters{"huge", ~0ull, ~0ull, ~0ull, true, true}),
                         [](const auto& info) { return std::string(info.param.label); });

// Several processes push onto one ring in a shared mapping while this one pops: every entry
// arrives exactly once, and each producer's entries arrive in the order it pushed them.
TEST(Ring, MultiProcessProducersDeliverEveryEntryOnceAndInOrder) {
    constexpr int kProducers = 4;
    constexpr std::uint64_t kPerProducer = 20000;
    void* shared = mmap(nullptr, RequestRing::kSpan, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* ring_bytes = static_cast<std::uint8_t*>(shared);

    std::vector<pid_t> children;
    for (int p = 0; p < kProducers; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RequestRing ring(ring_bytes);
            for (std::uint64_t i = 0; i < kPerProducer; ++i) {
                for (;;) {
                    auto pushed = ring.push(request(static_cast<std::uint64_t>(p), i));
                    if (pushed) break;
                    if (pushed.error().kind != QueueError::Kind::Full) _exit(3);
                    sched_yield();
                }
            }
            _exit(0);
        }
        children.push_back(pid);
    }

    RequestRing ring(ring_bytes);
    std::vector<std::uint64_t> next(kProducers, 0);
    std::uint64_t received = 0;
    bool in_order = true;
    while (received < kProducers * kPerProducer) {
        auto popped = ring.pop();
        ASSERT_TRUE(popped);
        if (!*popped) {
            sched_yield();
            continue;
        }
        const auto producer = (*popped)->shm_offset;
        ASSERT_LT(producer, static_cast<std::uint64_t>(kProducers));
        if ((*popped)->shm_size != next[producer]) in_order = false;
        next[producer] = (*popped)->shm_size + 1;
        ++received;
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_TRUE(in_order);
    for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kPerProducer);
    auto empty = ring.pop();
    ASSERT_TRUE(empty);
    EXPECT_FALSE(*empty);
    munmap(shared, RequestRing::kSpan);
}

}  // namespace
}  // namespace zelto::shm
