// Sleeping in the kernel until the engine signals that it has posted responses.
#pragma once

#include <chrono>
#include <functional>

namespace zelto::shm {

// Waits up to `timeout` for `fd` to become readable and, if it did, drains it: reads of up to
// 128 bytes until one returns fewer (end, error or short read). A time-out or an error (EINTR
// included) is not reported: the caller polls the response ring next in any case.
//
// `answer_published`, when given, is asked after the drain whether the response ring holds an
// entry. If it does not, the readiness came from a count that an earlier answer left behind (that
// call found its answer on the ring before the engine's write reached the descriptor), so the
// wait goes on, once, for the rest of `timeout`: a stale count must not turn a call that could
// sleep in the kernel into one that polls. Once, so that a descriptor that is always readable
// cannot keep the call here.
//
// Descriptors below FD_SETSIZE are waited on with select; larger ones with poll, because a
// fixed-size fd_set has no bit for them and setting it would write past the set.
void wait_for_notification(int fd, std::chrono::milliseconds timeout,
                           const std::function<bool()>& answer_published = {});

enum class NotificationTake {
    Taken,        // there was something to read; the descriptor is drained as after a wait
    NothingYet,   // nothing to read at the moment; nothing was consumed
    CannotTell,   // the descriptor refuses a read that must not block; nothing was consumed
};

// Consumes a notification that has already been posted, without waiting and without a select:
// the first read is asked not to block (preadv2 with RWF_NOWAIT, whatever the descriptor's own
// mode), and when it gets bytes the drain goes on exactly as after a wait. For a caller that
// already knows an answer is on the ring and needs only to take its notification along.
NotificationTake take_posted_notification(int fd);

}  // namespace zelto::shm
