// Sleeping in the kernel until the engine signals that it has posted responses.
#pragma once

#include <chrono>

namespace zelto::shm {

// Waits once, up to `timeout`, for `fd` to become readable and, if it did, drains it: reads of
// up to 128 bytes until one returns fewer (end, error or short read) or nothing more is readable
// (so a pipe is emptied whatever it holds; a descriptor that never empties is left after 5 ms).
// A time-out or an error (EINTR included) is not reported, and a readiness that came from a
// count an earlier answer left behind is not waited out again: the caller polls the response
// ring next in any case.
//
// Descriptors below FD_SETSIZE are waited on with select; larger ones with poll, because a
// fixed-size fd_set has no bit for them and setting it would write past the set.
void wait_for_notification(int fd, std::chrono::milliseconds timeout);

enum class NotificationTake {
    Taken,       // there was something to read; the descriptor is drained as after a wait
    NothingYet,  // nothing to read at the moment; nothing was consumed
    CannotTell,  // the descriptor refuses a read that must not block; nothing was consumed
};

// Consumes a notification that has already been posted, without waiting and without a select:
// the first read is asked not to block (preadv2 with RWF_NOWAIT, whatever the descriptor's own
// mode), and when it gets bytes the drain goes on exactly as after a wait. For a caller that
// already knows an answer is on the ring and needs only to take its notification along.
NotificationTake take_posted_notification(int fd);

}  // namespace zelto::shm
