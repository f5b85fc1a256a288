#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "common/unique_fd.hpp"
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

}  // namespace
}  // namespace zelto::shm
