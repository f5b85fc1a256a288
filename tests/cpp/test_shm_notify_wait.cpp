#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "common/processors.hpp"
#include "common/unique_fd.hpp"
#include "shm/notify_wait.hpp"
#include "support/on_one_processor.hpp"

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

// A count left by an earlier answer wakes the wait at once, and the wait is over: it waits once,
// and the caller's polling finds (or waits for) the answer.
TEST(NotifyWait, StaleCountEndsTheOneWaitAtOnce) {
    UniqueFd fd = eventfd_at(-1);
    ASSERT_TRUE(fd.valid());
    post(fd.get(), 3);  // stale
    const auto started = std::chrono::steady_clock::now();
    wait_for_notification(fd.get(), 5s);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    errno = 0;
    EXPECT_EQ(counter_value(fd.get()), 0u);
    EXPECT_EQ(errno, EAGAIN);
}

// An ordinary descriptor is drained completely, however much it holds: a non-blocking pipe with
// 10 000 bytes (78 full reads and a short one), and one holding an exact multiple of 128 bytes,
// which would block after its last full read if the drain did not ask first.
TEST(NotifyWait, APipeIsDrainedWhateverItHolds) {
    for (const std::size_t held : {std::size_t{10000}, std::size_t{128 * 100}}) {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC | (held == 10000 ? O_NONBLOCK : 0)), 0);
        UniqueFd read_end(ends[0]);
        UniqueFd write_end(ends[1]);
        const std::string bytes(held, 'n');
        ASSERT_EQ(::write(write_end.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(held));
        wait_for_notification(read_end.get(), 5s);
        pollfd entry{read_end.get(), POLLIN, 0};
        EXPECT_EQ(::poll(&entry, 1, 0), 0) << held << " bytes: something was left";
    }
}

// A descriptor that is always readable (the engine names it; here /dev/zero): one wait, and a
// drain that gives up instead of reading for ever.
TEST(NotifyWait, AlwaysReadableDescriptorIsLeftAfterABoundedDrain) {
    UniqueFd zero(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(zero.valid());
    const auto started = std::chrono::steady_clock::now();
    wait_for_notification(zero.get(), 5s);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
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

}  // namespace
}  // namespace zelto::shm
