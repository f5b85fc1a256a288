// The hybrid client's own event loop: worker threads that watch sockets for readiness with
// epoll and wake the thread that is waiting for them.
//
// The exchange itself runs on the calling thread. It first tries the non-blocking system call;
// only when that answers EAGAIN does it hand the descriptor to the loop (`wait_ready`) and park
// on a condition variable until a worker reports the descriptor ready. So a reply that is
// already there costs no thread hand-over at all.
#pragma once

#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "common/unique_fd.hpp"

namespace zelto::sdk {

enum class Readiness : std::uint32_t {
    Readable = EPOLLIN | EPOLLRDHUP,
    Writable = EPOLLOUT,
};

// Number of processors this process may run on (its affinity mask), at least 1.
std::size_t available_processors();

class EventLoop {
  public:
    // Starts `workers` threads (at least one). Failure: the OS error that stopped the epoll
    // instance, the wake-up eventfd or a thread from being created; nothing is left running.
    static Result<std::unique_ptr<EventLoop>, IoError> create(std::size_t workers);
    static Result<std::unique_ptr<EventLoop>, IoError> create() {
        return create(available_processors());
    }

    // Stops every worker and joins it before returning.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Blocks the calling thread until `fd` is ready for `readiness`, has an error or a hang-up
    // (the caller's next system call then reports what happened). One waiter per descriptor.
    Result<void, IoError> wait_ready(int fd, Readiness readiness);

    std::size_t worker_count() const { return workers_.size(); }

  private:
    EventLoop(UniqueFd epoll, UniqueFd wake);
    Result<void, IoError> start_workers(std::size_t workers);
    void run_worker();

    UniqueFd epoll_;
    UniqueFd wake_;  // written once at shutdown and never drained, so every worker sees it
    std::vector<std::thread> workers_;
};

}  // namespace zelto::sdk
