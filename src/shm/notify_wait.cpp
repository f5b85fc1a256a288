#include "shm/notify_wait.hpp"

#include <poll.h>
#include <sys/select.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace zelto::shm {
namespace {

using std::chrono::microseconds;

bool readable_with_select(int fd, microseconds timeout) {
    fd_set readers;
    FD_ZERO(&readers);
    FD_SET(fd, &readers);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(seconds.count());
    limit.tv_usec = static_cast<suseconds_t>((timeout - seconds).count());
    return ::select(fd + 1, &readers, nullptr, nullptr, &limit) > 0;
}

bool readable_with_poll(int fd, microseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(timeout);
    return ::poll(&entry, 1, static_cast<int>(milliseconds.count())) > 0;
}

bool readable(int fd, microseconds timeout) {
    return fd < FD_SETSIZE ? readable_with_select(fd, timeout) : readable_with_poll(fd, timeout);
}

constexpr ssize_t kDrainChunk = 128;

// Goes on reading after a first read that returned `got` bytes, until a read returns fewer than
// 128 or nothing more is readable: an ordinary descriptor (an eventfd, a pipe holding any number
// of bytes) is drained completely. The descriptor is the engine's, so the loop is bounded in
// time, not by a count a full pipe could exceed: one that is always readable (a file such as
// /dev/zero) must not keep the call here.
void drain_after(int fd, ssize_t got) {
    constexpr auto kLongestDrain = std::chrono::milliseconds(5);
    const auto give_up = std::chrono::steady_clock::now() + kLongestDrain;
    char buffer[kDrainChunk];
    while (got == kDrainChunk) {
        if (!readable_with_poll(fd, microseconds(0)))
            return;  // a pipe emptied at a multiple of 128
        if (std::chrono::steady_clock::now() >= give_up) return;
        got = ::read(fd, buffer, sizeof buffer);
    }
}

void drain(int fd) {
    char buffer[kDrainChunk];
    drain_after(fd, ::read(fd, buffer, sizeof buffer));
}

}  // namespace

void wait_for_notification(int fd, std::chrono::milliseconds timeout) {
    if (fd < 0) return;
    if (readable(fd, timeout)) drain(fd);
}

NotificationTake take_posted_notification(int fd) {
    if (fd < 0) return NotificationTake::CannotTell;
    char buffer[kDrainChunk];
    iovec into{buffer, sizeof buffer};
    const ssize_t got = ::preadv2(fd, &into, 1, -1, RWF_NOWAIT);
    if (got < 0) {
        return errno == EAGAIN ? NotificationTake::NothingYet : NotificationTake::CannotTell;
    }
    drain_after(fd, got);
    return NotificationTake::Taken;
}

}  // namespace zelto::shm
