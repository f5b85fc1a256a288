#include "shm/notify_wait.hpp"

#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

namespace zelto::shm {
namespace {

bool readable_with_select(int fd, std::chrono::milliseconds timeout) {
    fd_set readers;
    FD_ZERO(&readers);
    FD_SET(fd, &readers);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(seconds.count());
    limit.tv_usec = static_cast<suseconds_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(timeout - seconds).count());
    return ::select(fd + 1, &readers, nullptr, nullptr, &limit) > 0;
}

bool readable_with_poll(int fd, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

// Reads until a read returns fewer than 128 bytes. The descriptor is the engine's, so the
// loop is bounded: a descriptor that always has more (a file such as /dev/zero) or that would
// block after a full read (a pipe holding a multiple of 128 bytes) must not hang the call.
void drain(int fd) {
    constexpr int kMaxReads = 64;
    char buffer[128];
    for (int reads = 0; reads < kMaxReads; ++reads) {
        if (reads > 0 && !readable_with_poll(fd, std::chrono::milliseconds(0))) return;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < static_cast<ssize_t>(sizeof buffer)) return;
    }
}

}  // namespace

void wait_for_notification(int fd, std::chrono::milliseconds timeout) {
    if (fd < 0) return;
    const bool ready =
        fd < FD_SETSIZE ? readable_with_select(fd, timeout) : readable_with_poll(fd, timeout);
    if (ready) drain(fd);
}

}  // namespace zelto::shm
