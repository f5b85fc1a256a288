// What a non-blocking socket waits on when the kernel answers EAGAIN: something that blocks the
// caller until a descriptor is ready. The hybrid client's event loop is one (sdk/hybrid/
// event_loop.hpp); the socket layer needs only this much of it.
#pragma once

#include <sys/epoll.h>

#include <cstdint>

#include "common/io_error.hpp"
#include "common/result.hpp"

namespace zelto::transport {

enum class Readiness : std::uint32_t {
    Readable = EPOLLIN | EPOLLRDHUP,
    Writable = EPOLLOUT,
};

class ReadinessWait {
  public:
    // Blocks the calling thread until `fd` is ready for `readiness`, has an error or a hang-up
    // (the caller's next system call then reports what happened).
    virtual Result<void, IoError> wait_ready(int fd, Readiness readiness) = 0;

  protected:
    ~ReadinessWait() = default;
};

}  // namespace zelto::transport
