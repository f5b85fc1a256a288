// The share of one region that every client object of a process uses: one allocator, one id
// counter, per object (device and inode), whatever name reaches it; threads that allocate
// through it never hold one slot twice; another process gets slots and ids of its own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "sdk/shm/shared_region.hpp"
#include "support/test_shm_region.hpp"

namespace zelto::sdk {
namespace {

using shm::testing::Layout;
using shm::testing::ShmObject;
using shm::testing::unique_name;

TEST(SharedRegion, ObjectsOnOneRegionShareOneAllocatorAndOneIdCounter) {
    ShmObject object(unique_name("share"), Layout{}.bytes());
    auto first = SharedRegion::attach(object.name());
    auto second = SharedRegion::attach(object.name());
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->get(), second->get());
    EXPECT_EQ((*first)->next_request_id(), 1u);  // the first process numbers from 1
    EXPECT_EQ((*second)->next_request_id(), 2u);
    EXPECT_EQ(&(*first)->allocator(), &(*second)->allocator());
    EXPECT_EQ(SharedRegion::for_this_process(*first)->get(), first->get());
}

TEST(SharedRegion, ARecreatedObjectUnderTheSameNameGetsAShareOfItsOwn) {
    const std::string name = unique_name("share");
    auto old_share = [&] {
        ShmObject object(name, Layout{}.bytes());
        auto share = SharedRegion::attach(name);
        EXPECT_TRUE(share);
        return share ? *share : nullptr;
    }();
    ShmObject recreated(name, Layout{}.bytes());
    auto fresh = SharedRegion::attach(name);
    ASSERT_TRUE(fresh && old_share);
    EXPECT_NE(fresh->get(), old_share.get());
}

TEST(SharedRegion, ThreadsNeverHoldOneSlotTwice) {
    ShmObject object(unique_name("share"), Layout{}.bytes());
    std::mutex mutex;
    std::set<std::uint64_t> held;
    int collisions = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            auto share = SharedRegion::attach(object.name());  // each thread its own "object"
            ASSERT_TRUE(share);
            for (int i = 0; i < 2000; ++i) {
                auto offset = (*share)->allocator().try_allocate(1000);
                if (!offset) continue;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    collisions += !held.insert(*offset).second;
                }
                std::this_thread::yield();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    held.erase(*offset);
                }
                (*share)->allocator().release(*offset);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(collisions, 0);
}

TEST(SharedRegion, AnotherProcessGetsSlotsAndIdsOfItsOwn) {
    ShmObject object(unique_name("share"), Layout{}.bytes());
    auto share = SharedRegion::attach(object.name());
    ASSERT_TRUE(share);
    auto& allocator = (*share)->allocator();
    // Hold every slot of class0 but one (the 1 MiB pool has four of 256 KiB).
    std::vector<std::uint64_t> held;
    for (int i = 0; i < 3; ++i) held.push_back(*allocator.try_allocate(1000));
    int report[2] = {-1, -1};
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // The child's own share: process number 1, and only the one slot nobody holds.
        auto own = SharedRegion::for_this_process(*share);
        std::uint64_t facts[3] = {0, 0, 0};
        if (own) {
            facts[0] = (*own)->next_request_id();
            auto offset = (*own)->allocator().try_allocate(1000);
            facts[1] = offset.value_or(0);
            facts[2] = (*own)->allocator().try_allocate(1000).has_value();
        }
        [[maybe_unused]] auto written = ::write(report[1], facts, sizeof facts);
        ::_exit(0);
    }
    std::uint64_t facts[3] = {};
    ASSERT_EQ(::read(report[0], facts, sizeof facts), static_cast<ssize_t>(sizeof facts));
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(facts[0], (std::uint64_t{1} << SharedRegion::kProcessIdShift) | 1);
    EXPECT_NE(facts[1], 0u);
    for (auto offset : held) EXPECT_NE(facts[1], offset);
    EXPECT_EQ(facts[2], 0u) << "the child took a slot this process holds";
    ::close(report[0]);
    ::close(report[1]);
}

}  // namespace
}  // namespace zelto::sdk
