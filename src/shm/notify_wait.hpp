// Sleeping in the kernel until the engine signals that it has posted responses.
#pragma once

#include <chrono>

namespace zelto::shm {

// Waits up to `timeout` for `fd` to become readable and, if it did, drains it: reads of up to
// 128 bytes until one returns fewer (end, error or short read). A time-out or an error (EINTR
// included) is not reported: the caller polls the response ring next in any case.
//
// Descriptors below FD_SETSIZE are waited on with select; larger ones with poll, because a
// fixed-size fd_set has no bit for them and setting it would write past the set.
void wait_for_notification(int fd, std::chrono::milliseconds timeout);

}  // namespace zelto::shm
