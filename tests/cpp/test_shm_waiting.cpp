#include <fcntl.h>
#include <sched.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

#include "common/processors.hpp"
#include "common/unique_fd.hpp"
#include "on_one_processor.hpp"
#include "sdk/copy_watch.hpp"
#include "shm/notify_wait.hpp"
#include "shm/timer_slack.hpp"

namespace zelto::shm {
namespace {

using namespace std::chrono_literals;

std::uint64_t counter_value(int fd) {
    std::uint64_t value = 0;
    if (::read(fd, &value, sizeof value) != sizeof value) return 0;  // EAGAIN: counter is 0
    return value;
}

// An eventfd at a descriptor number of the test's choosing (or wherever the system puts it).
UniqueFd eventfd_at(int number) {
    UniqueFd fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (number < 0 || !fd.valid()) return fd;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur <= static_cast<rlim_t>(number)) {
        limit.rlim_cur = static_cast<rlim_t>(number) + 1;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return UniqueFd();
    }
    return UniqueFd(::dup3(fd.get(), number, O_CLOEXEC));
}

class NotifyWait : public ::testing::TestWithParam<int> {};

TEST_P(NotifyWait, ReadyDescriptorIsDrained) {
    UniqueFd fd = eventfd_at(GetParam());
    if (!fd.valid()) GTEST_SKIP() << "cannot place an eventfd at " << GetParam();
    if (GetParam() >= 0) {
        ASSERT_EQ(fd.get(), GetParam());
    }
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(fd.get(), &one, sizeof one), 8);
    ASSERT_EQ(::write(fd.get(), &one, sizeof one), 8);
    wait_for_notification(fd.get(), 5s);
    errno = 0;
    EXPECT_EQ(counter_value(fd.get()), 0u);
    EXPECT_EQ(errno, EAGAIN);
}

TEST_P(NotifyWait, QuietDescriptorIsLeftAsItIs) {
    UniqueFd fd = eventfd_at(GetParam());
    if (!fd.valid()) GTEST_SKIP() << "cannot place an eventfd at " << GetParam();
    wait_for_notification(fd.get(), 20ms);  // times out; nothing to report
    errno = 0;
    EXPECT_EQ(counter_value(fd.get()), 0u);
    EXPECT_EQ(errno, EAGAIN);
}

// Below FD_SETSIZE the wait uses select; at 1500 a fd_set has no bit for it, so it uses poll.
INSTANTIATE_TEST_SUITE_P(Shm, NotifyWait, ::testing::Values(-1, 1500), [](const auto& info) {
    return info.param < 0 ? std::string("select") : std::string("poll");
});

TEST(NotifyWait, NegativeDescriptorIsSkipped) {
    wait_for_notification(-1, 5s);
}

void post(int fd, std::uint64_t count) {
    ASSERT_EQ(::write(fd, &count, sizeof count), 8);
}

// A count left by an earlier answer wakes the wait at once, but nothing is on the ring: the wait
// goes on until the engine's own notification, and consumes both.
TEST(NotifyWait, StaleCountIsFollowedByOneMoreWait) {
    UniqueFd fd = eventfd_at(-1);
    ASSERT_TRUE(fd.valid());
    post(fd.get(), 3);  // stale
    std::atomic<int> looks{0};
    std::atomic<bool> answer_on_ring{false};
    std::thread engine([&] {
        while (looks.load() == 0) std::this_thread::yield();
        answer_on_ring.store(true);
        post(fd.get(), 1);
    });
    wait_for_notification(fd.get(), 5s, [&] {
        looks.fetch_add(1);
        return answer_on_ring.load();
    });
    engine.join();
    EXPECT_EQ(looks.load(), 2);
    errno = 0;
    EXPECT_EQ(counter_value(fd.get()), 0u);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(NotifyWait, ReadinessWithAnAnswerOnTheRingEndsTheWait) {
    UniqueFd fd = eventfd_at(-1);
    ASSERT_TRUE(fd.valid());
    post(fd.get(), 1);
    int looks = 0;
    wait_for_notification(fd.get(), 5s, [&] {
        ++looks;
        return true;
    });
    EXPECT_EQ(looks, 1);
    errno = 0;
    EXPECT_EQ(counter_value(fd.get()), 0u);
    EXPECT_EQ(errno, EAGAIN);
}

// A descriptor that is always readable (the engine names it; here /dev/zero) with nothing on the
// ring: the wait gives up after its second drain instead of looping until its deadline.
TEST(NotifyWait, AlwaysReadableDescriptorIsWaitedOnAtMostTwice) {
    UniqueFd zero(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(zero.valid());
    int looks = 0;
    wait_for_notification(zero.get(), 5s, [&] {
        ++looks;
        return false;
    });
    EXPECT_EQ(looks, 2);
}

// The second wait ends where the first one would have: a stale count and then no notification
// at all returns after the time-out, having looked at the ring once.
TEST(NotifyWait, StaleCountWithoutAnyAnswerEndsAtTheTimeout) {
    UniqueFd fd = eventfd_at(-1);
    ASSERT_TRUE(fd.valid());
    post(fd.get(), 1);
    int looks = 0;
    wait_for_notification(fd.get(), 30ms, [&] {
        ++looks;
        return false;
    });
    EXPECT_EQ(looks, 1);
}

// Taking a notification that is already posted must never wait, whatever the descriptor's mode:
// these descriptors are in blocking mode, where a plain read with nothing posted would hang.
TEST(TakePostedNotification, PostedCountIsTakenAndDrained) {
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    post(fd.get(), 2);
    post(fd.get(), 1);
    EXPECT_EQ(take_posted_notification(fd.get()), NotificationTake::Taken);
    EXPECT_EQ(take_posted_notification(fd.get()), NotificationTake::NothingYet);
}

TEST(TakePostedNotification, NothingPostedConsumesNothing) {
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(take_posted_notification(fd.get()), NotificationTake::NothingYet);
    post(fd.get(), 1);
    EXPECT_EQ(take_posted_notification(fd.get()), NotificationTake::Taken);
}

// The drain behind a full first read stays bounded on a descriptor that never runs dry.
TEST(TakePostedNotification, AlwaysReadableDescriptorIsDrainedBoundedly) {
    UniqueFd zero(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(zero.valid());
    EXPECT_EQ(take_posted_notification(zero.get()), NotificationTake::Taken);
}

TEST(TakePostedNotification, NoDescriptorCannotTell) {
    EXPECT_EQ(take_posted_notification(-1), NotificationTake::CannotTell);
    int closed = ::eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(closed, 0);
    ::close(closed);
    EXPECT_EQ(take_posted_notification(closed), NotificationTake::CannotTell);
}

// Spinning is decided by the affinity mask of the calling thread, not by the machine's size.
TEST(AllowedProcessors, FollowTheThreadsAffinityMask) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    ASSERT_EQ(::sched_getaffinity(0, sizeof mask, &mask), 0);
    EXPECT_EQ(allowed_processors(), CPU_COUNT(&mask));

    int on_one = 0;
    testing_support::run_on_one_processor([&] { on_one = allowed_processors(); });
    EXPECT_EQ(on_one, 1);
}

TEST(TimerSlack, LoweredInsideGuardAndRestoredAfter) {
    const long before = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    ASSERT_GT(before, 1);
    {
        const TimerSlackGuard guard;
        EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);
        sleep_one_microsecond();
    }
    EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), before);
}

// The longer watch for a large block's answer grows with the block and stops at 2 ms, however
// large a size is asked about (no overflow on the way).
TEST(CopyWatch, GrowsWithTheBlockUpToItsLimit) {
    using sdk::copy_watch;
    EXPECT_EQ(copy_watch(0), 0us);
    EXPECT_EQ(copy_watch(4096 + 80), 0us);
    EXPECT_EQ(copy_watch((std::uint64_t{4} << 20) + 80), 400us);
    EXPECT_EQ(copy_watch(std::uint64_t{20} << 20), sdk::kLongestCopyWatch);
    EXPECT_EQ(copy_watch(UINT64_MAX), sdk::kLongestCopyWatch);
}

}  // namespace
}  // namespace zelto::shm
