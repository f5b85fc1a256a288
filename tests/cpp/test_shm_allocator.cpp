#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "shm/allocator.hpp"

namespace zelto::shm {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;
constexpr std::uint64_t GiB = 1024 * MiB;
constexpr std::uint64_t kPoolOffset = 4096;

// A monotonic clock the test moves by hand.
struct ManualClock {
    Clock::time_point now{};
    ClockFn fn() {
        return [this] { return now; };
    }
};

struct ClassCounts {
    std::uint64_t slot_size;
    std::uint64_t slots;
};

std::vector<ClassCounts> counts(const TieredShmAllocator& allocator) {
    std::vector<ClassCounts> result;
    for (const auto& item : allocator.classes()) result.push_back({item.slot_size, item.slots});
    return result;
}

struct LayoutCase {
    const char* label;
    std::uint64_t pool_size;
    std::string summary;  // empty: only the counts are checked
    std::vector<std::uint64_t> slots;
};

class DefaultLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(DefaultLayout, MatchesExpectedCarving) {
    const LayoutCase& expected = GetParam();
    auto allocator =
        TieredShmAllocator::new_with_default_classes(kPoolOffset, expected.pool_size, 30s);
    if (!expected.summary.empty()) {
        EXPECT_EQ(allocator.layout_summary(), expected.summary);
    }
    std::vector<std::uint64_t> slots;
    for (const auto& item : counts(allocator)) slots.push_back(item.slots);
    EXPECT_EQ(slots, expected.slots);

    // Classes lie back to back from the pool offset and never run past the pool's end.
    std::uint64_t running = kPoolOffset;
    for (const auto& item : allocator.classes()) {
        EXPECT_EQ(item.base, running);
        EXPECT_EQ(item.region_bytes, item.slot_size * item.slots);
        running += item.region_bytes;
    }
    EXPECT_LE(running, kPoolOffset + std::max<std::uint64_t>(expected.pool_size, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Allocator, DefaultLayout,
    ::testing::Values(
        LayoutCase{"pool64MiB",
                   64 * MiB,
                   "class0(base=4096 slot_size=262144 slots=4), "
                   "class1(base=1052672 slot_size=1048576 slots=3), "
                   "class2(base=4198400 slot_size=4194304 slots=3), "
                   "class3(base=16781312 slot_size=16777216 slots=3)",
                   {4, 3, 3, 3}},
        LayoutCase{"pool256MiB", 256 * MiB, "", {4, 3, 3, 3, 3}},
        LayoutCase{"pool1GiB", 1 * GiB, "", {16, 12, 12, 12, 12}},
        LayoutCase{"pool1MiB", 1 * MiB, "class0(base=4096 slot_size=262144 slots=4)", {4}},
        LayoutCase{"pool100000", 100000, "class0(base=4096 slot_size=100000 slots=1)", {1}},
        LayoutCase{"pool0", 0, "class0(base=4096 slot_size=1 slots=1)", {1}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Allocator, Pool64MiBIsUsedToTheLastByteWithoutA64MiBClass) {
    auto allocator = TieredShmAllocator::new_with_default_classes(kPoolOffset, 64 * MiB, 30s);
    EXPECT_EQ(allocator.largest_slot_size(), 16 * MiB);
    std::uint64_t used = 0;
    for (const auto& item : allocator.classes()) used += item.region_bytes;
    EXPECT_EQ(used, 64 * MiB);
}

TEST(Allocator, Pool256MiBPlacesThe64MiBClassAfterTheOthers) {
    auto allocator = TieredShmAllocator::new_with_default_classes(kPoolOffset, 256 * MiB, 30s);
    ASSERT_EQ(allocator.classes().size(), 5u);
    EXPECT_EQ(allocator.classes()[4].name, "class4");
    EXPECT_EQ(allocator.classes()[4].base, 67112960u);
    EXPECT_EQ(allocator.largest_slot_size(), 64 * MiB);
}

TEST(Allocator, EqualSizesMergeAndZeroClassesAreDropped) {
    auto allocator = TieredShmAllocator::new_with_class_budgets(
        0, 10000, {{1000, 1}, {1000, 2}, {0, 5}, {500, 0}}, 30s);
    EXPECT_EQ(allocator.layout_summary(), "class0(base=0 slot_size=1000 slots=10)");
}

TEST(Allocator, WeightsShareThePoolAfterTheFirstPass) {
    auto allocator =
        TieredShmAllocator::new_with_class_budgets(0, 16 * MiB, {{4 * MiB, 1}, {1 * MiB, 3}}, 30s);
    EXPECT_EQ(allocator.layout_summary(),
              "class0(base=0 slot_size=1048576 slots=8), "
              "class1(base=8388608 slot_size=4194304 slots=2)");
}

TEST(Allocator, ClassesThatNeverFitAreLeftOutAndNamesSkipTheirIndex) {
    // 300 fits once; 5000 never does; the index of the 5000 class is still counted.
    auto allocator = TieredShmAllocator::new_with_class_budgets(
        100, 1000, {{5000, 1}, {300, 1}, {7000, 1}}, 30s);
    EXPECT_EQ(allocator.layout_summary(), "class0(base=100 slot_size=300 slots=3)");
    auto skipping =
        TieredShmAllocator::new_with_class_budgets(0, 1000, {{100, 1}, {5000, 1}, {200, 1}}, 30s);
    EXPECT_EQ(skipping.layout_summary(),
              "class0(base=0 slot_size=100 slots=4), class1(base=400 slot_size=200 slots=3)");
    auto no_classes = TieredShmAllocator::new_with_class_budgets(8, 700, {}, 30s);
    EXPECT_EQ(no_classes.layout_summary(), "class0(base=8 slot_size=700 slots=1)");
}

class Pool64 : public ::testing::Test {
  protected:
    ManualClock clock;
    TieredShmAllocator allocator =
        TieredShmAllocator::new_with_default_classes(kPoolOffset, 64 * MiB, 30s, clock.fn());

    const ShmAllocatorClass& cls(std::size_t i) const { return allocator.classes()[i]; }
    bool in_class(std::uint64_t offset, std::size_t i) const {
        return offset >= cls(i).base && offset < cls(i).base + cls(i).region_bytes;
    }
};

TEST_F(Pool64, SizesOutsideEveryClassGetNothing) {
    EXPECT_FALSE(allocator.try_allocate(0));
    EXPECT_FALSE(allocator.try_allocate(allocator.largest_slot_size() + 1));
    EXPECT_TRUE(allocator.try_allocate(allocator.largest_slot_size()));
}

TEST_F(Pool64, FullClassesSpillIntoLargerOnes) {
    std::vector<std::uint64_t> taken;
    for (int i = 0; i < 3; ++i) {
        auto offset = allocator.try_allocate(300000);
        ASSERT_TRUE(offset);
        EXPECT_TRUE(in_class(*offset, 1)) << *offset;
        taken.push_back(*offset);
    }
    for (std::size_t expected_class : {2u, 2u, 2u, 3u, 3u, 3u}) {
        auto offset = allocator.try_allocate(300000);
        ASSERT_TRUE(offset);
        EXPECT_TRUE(in_class(*offset, expected_class)) << *offset;
    }
    EXPECT_FALSE(allocator.try_allocate(300000));
    // Small requests still find class0, which the 300000-byte requests never touched.
    EXPECT_TRUE(allocator.try_allocate(1));
    // A released class1 slot is found again by the next 300000-byte request.
    EXPECT_TRUE(allocator.release(taken[1]));
    EXPECT_EQ(allocator.try_allocate(300000), taken[1]);
}

TEST_F(Pool64, CursorMovesOnEveryCallSoScansStartAtSuccessiveSlots) {
    auto first = allocator.try_allocate(1);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, cls(0).base);
    EXPECT_TRUE(allocator.release(*first));
    // The cursor moved on: slot 1 is picked although slot 0 is free again.
    EXPECT_EQ(allocator.try_allocate(1), cls(0).base + cls(0).slot_size);
    EXPECT_EQ(allocator.try_allocate(1), cls(0).base + 2 * cls(0).slot_size);
    EXPECT_EQ(allocator.try_allocate(1), cls(0).base + 3 * cls(0).slot_size);
    // The scan wraps round to the slot released at the start.
    EXPECT_EQ(allocator.try_allocate(1), cls(0).base);
}

TEST_F(Pool64, LeasesExpireAfterThirtySeconds) {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(allocator.try_allocate(16 * MiB));
    EXPECT_FALSE(allocator.try_allocate(16 * MiB));
    clock.now += 29s;
    EXPECT_FALSE(allocator.try_allocate(16 * MiB));
    clock.now += 1s;  // the lease end is reached: "at or before now" counts as expired
    auto again = allocator.try_allocate(16 * MiB);
    ASSERT_TRUE(again);
    EXPECT_TRUE(in_class(*again, 3));
    // The other two expired slots are free too; the one taken again carries a fresh lease.
    EXPECT_TRUE(allocator.try_allocate(16 * MiB));
    EXPECT_TRUE(allocator.try_allocate(16 * MiB));
    EXPECT_FALSE(allocator.try_allocate(16 * MiB));
}

TEST_F(Pool64, ReleaseRules) {
    auto offset = allocator.try_allocate(2 * MiB);
    ASSERT_TRUE(offset);
    EXPECT_FALSE(allocator.release(*offset + 1));             // inside a slot, not its start
    EXPECT_FALSE(allocator.release(kPoolOffset - 1));         // before the first class
    EXPECT_FALSE(allocator.release(kPoolOffset + 64 * MiB));  // past the last class
    EXPECT_TRUE(allocator.release(*offset));
    EXPECT_TRUE(allocator.release(*offset));  // already free: still true, nothing changes
}

TEST(Allocator, SimpleAllocatorRefusesWhatItCannotHold) {
    ManualClock clock;
    SimpleShmAllocator simple(1000, 100, 2, 30s, clock.fn());
    EXPECT_FALSE(simple.try_allocate(0));
    EXPECT_FALSE(simple.try_allocate(101));
    EXPECT_EQ(simple.try_allocate(100), 1000u);
    EXPECT_EQ(simple.try_allocate(1), 1100u);
    EXPECT_FALSE(simple.try_allocate(1));
    EXPECT_FALSE(simple.release(999));
    EXPECT_FALSE(simple.release(1050));
    EXPECT_FALSE(simple.release(1200));  // slot index 2 of 2
    EXPECT_TRUE(simple.release(1100));
    EXPECT_EQ(simple.try_allocate(7), 1100u);
}

TEST(Allocator, ExhaustionText) {
    auto allocator = TieredShmAllocator::new_with_default_classes(kPoolOffset, 1 * MiB, 30s);
    EXPECT_EQ(pool_exhausted_text(262145, allocator),
              "SHM tensor pool exhausted (required=262145 bytes, largest_slot=262144 bytes, "
              "layout=class0(base=4096 slot_size=262144 slots=4))");
}

// Claims that other processes hold some slots: a fake of the byte locks, recording every call.
class FakeClaims final : public SlotClaims {
  public:
    std::set<std::uint64_t> held_elsewhere;
    std::set<std::uint64_t> ours;
    int calls = 0;

    bool claim(std::uint64_t offset) override {
        ++calls;
        if (held_elsewhere.count(offset) != 0) return false;
        ours.insert(offset);
        return true;
    }
    void unclaim(std::uint64_t offset) override {
        ++calls;
        ours.erase(offset);
    }
};

TEST(SlotClaims, ARepeatedCallReusesItsClaimedSlotWithoutAskingAgain) {
    ManualClock clock;
    FakeClaims claims;
    SimpleShmAllocator slots(1000, 100, 4, 30s, clock.fn(), &claims);
    for (int i = 0; i < 10; ++i) {
        auto offset = slots.try_allocate(50);
        ASSERT_EQ(offset, 1000u);  // the cursor moves on, but the claimed slot is taken first
        EXPECT_TRUE(slots.release(*offset));
    }
    EXPECT_EQ(claims.calls, 1);
    EXPECT_EQ(claims.ours, std::set<std::uint64_t>{1000});
}

TEST(SlotClaims, SlotsHeldElsewhereArePassedOverButNeverReportedFullFromMemory) {
    ManualClock clock;
    FakeClaims claims;
    claims.held_elsewhere = {1000, 1100};
    SimpleShmAllocator slots(1000, 100, 3, 30s, clock.fn(), &claims);
    EXPECT_EQ(slots.try_allocate(50), 1200u);  // 1000 and 1100 asked for, held elsewhere
    EXPECT_TRUE(slots.release(1200));
    // Within kRetryHeldElsewhere a call that finds its own slot does not ask for the others.
    int asked = claims.calls;
    EXPECT_EQ(slots.try_allocate(50), 1200u);
    EXPECT_EQ(claims.calls, asked);
    // With its own slot leased, it asks again before it answers none.
    asked = claims.calls;
    EXPECT_FALSE(slots.try_allocate(50));
    EXPECT_GT(claims.calls, asked);
    claims.held_elsewhere.clear();  // the other process let go (or died): found at once
    auto freed = slots.try_allocate(50);
    ASSERT_TRUE(freed);
    EXPECT_NE(*freed, 1200u);
}

TEST(SlotClaims, ConcurrentCallsClaimMoreAndGiveBackAllButOneUnusedSlot) {
    ManualClock clock;
    FakeClaims claims;
    SimpleShmAllocator slots(1000, 100, 4, 30s, clock.fn(), &claims);
    std::vector<std::uint64_t> taken;
    for (int i = 0; i < 3; ++i) taken.push_back(*slots.try_allocate(50));
    EXPECT_EQ(claims.ours.size(), 3u);
    for (auto offset : taken) EXPECT_TRUE(slots.release(offset));
    // The first one released stays claimed for the next call; the two after it go back.
    EXPECT_EQ(claims.ours, std::set<std::uint64_t>{taken[0]});
    // A lease that expires without a release counts as unused: the slot is reused.
    EXPECT_EQ(slots.try_allocate(50), taken[0]);
    clock.now += 30s;
    EXPECT_EQ(slots.try_allocate(50), taken[0]);
    EXPECT_EQ(claims.ours.size(), 1u);
}

TEST(SlotClaims, TheOnlySlotOfAClassIsGivenBackAtOnce) {
    ManualClock clock;
    FakeClaims claims;
    SimpleShmAllocator slots(1000, 100, 1, 30s, clock.fn(), &claims);
    auto offset = slots.try_allocate(50);
    ASSERT_EQ(offset, 1000u);
    EXPECT_TRUE(slots.release(*offset));
    EXPECT_TRUE(claims.ours.empty());
}

TEST(SlotClaims, TieredAllocatorFallsBackToALargerClassWhenOthersHoldTheSmallOnes) {
    FakeClaims claims;
    auto allocator =
        TieredShmAllocator::new_with_default_classes(kPoolOffset, 64 * MiB, 30s, {}, &claims);
    for (std::uint64_t i = 0; i < 4; ++i) claims.held_elsewhere.insert(kPoolOffset + i * 262144);
    auto offset = allocator.try_allocate(100);
    ASSERT_TRUE(offset);
    EXPECT_EQ(*offset, allocator.classes()[1].base);
}

}  // namespace
}  // namespace zelto::shm
