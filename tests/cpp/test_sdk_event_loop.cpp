#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "common/unique_fd.hpp"
#include "sdk/hybrid/event_loop.hpp"

namespace zelto::sdk {
namespace {

std::size_t thread_count() {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

struct SocketPair {
    UniqueFd a, b;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        a.reset(fds[0]);
        b.reset(fds[1]);
    }
};

TEST(EventLoop, OneWorkerPerAvailableProcessorByDefault) {
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const auto processors = static_cast<std::size_t>(CPU_COUNT(&set));

    // A sanitizer runtime may start a helper thread of its own with the first thread; let it
    // happen before counting.
    std::thread([] {}).join();
    const std::size_t before = thread_count();
    {
        auto loop = EventLoop::create();
        ASSERT_TRUE(loop);
        EXPECT_EQ((*loop)->worker_count(), processors);
        EXPECT_EQ(thread_count(), before + processors);
    }
    // The destructor joins every worker before it returns.
    EXPECT_EQ(thread_count(), before);
}

TEST(EventLoop, AtLeastOneWorker) {
    auto loop = EventLoop::create(0);
    ASSERT_TRUE(loop);
    EXPECT_EQ((*loop)->worker_count(), 1u);
}

TEST(EventLoop, WakesTheCallerWhenDataArrives) {
    auto loop = EventLoop::create(3);
    ASSERT_TRUE(loop);
    SocketPair pair;
    for (int round = 0; round < 20; ++round) {
        std::thread writer([&] {
            const char byte = static_cast<char>('a' + round);
            ASSERT_EQ(::write(pair.b.get(), &byte, 1), 1);
        });
        ASSERT_TRUE((*loop)->wait_ready(pair.a.get(), Readiness::Readable));
        char got = 0;
        EXPECT_EQ(::read(pair.a.get(), &got, 1), 1);
        EXPECT_EQ(got, 'a' + round);
        writer.join();
    }
}

TEST(EventLoop, ReportsWritableAndHangUp) {
    auto loop = EventLoop::create(1);
    ASSERT_TRUE(loop);
    SocketPair pair;
    ASSERT_TRUE((*loop)->wait_ready(pair.a.get(), Readiness::Writable));
    pair.b.reset();
    // A closed peer wakes a reader too; its next recv then reports end of file.
    ASSERT_TRUE((*loop)->wait_ready(pair.a.get(), Readiness::Readable));
    char byte;
    EXPECT_EQ(::read(pair.a.get(), &byte, 1), 0);
}

TEST(EventLoop, BadDescriptorIsAnOsError) {
    auto loop = EventLoop::create(1);
    ASSERT_TRUE(loop);
    auto waited = (*loop)->wait_ready(-1, Readiness::Readable);
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error().message, "Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace zelto::sdk
