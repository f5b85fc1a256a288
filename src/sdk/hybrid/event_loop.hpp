// The hybrid client's own event loop: worker threads that watch sockets for readiness with
// epoll and wake the thread that is waiting for them.
//
// The exchange itself runs on the calling thread. It first tries the non-blocking system call;
// only when that keeps answering EAGAIN (a receive asks again for a bounded while first, see
// common/idle_strategy.hpp) does it hand the descriptor to the loop (`wait_ready`) and park
// on a condition variable until a worker reports the descriptor ready. So a reply that is
// already there, or comes within the spin, costs no thread hand-over at all.
//
// Fork: a loop belongs to the process that created it. A forked child has none of its worker
// threads, yet shares its epoll instance and wake-up eventfd with the parent (descriptors copied
// by fork name the same kernel objects). A child therefore must not wait on an inherited loop -
// the parent's workers would receive the event - and its destructor must neither signal the
// eventfd (that would stop the parent's workers) nor join threads that do not exist here.
// `owned_by_this_process` lets the owner notice a fork and build a new loop; destroying a loop in
// a process other than its creator only closes that process's copies of the descriptors.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "common/io_error.hpp"
#include "common/processors.hpp"
#include "common/result.hpp"
#include "common/unique_fd.hpp"
#include "transport/readiness_wait.hpp"

namespace zelto::sdk {

using transport::Readiness;

class EventLoop final : public transport::ReadinessWait {
  public:
    // Starts `workers` threads (at least one). Failure: the OS error that stopped the epoll
    // instance, the wake-up eventfd or a thread from being created; nothing is left running.
    static Result<std::unique_ptr<EventLoop>, IoError> create(std::size_t workers);
    static Result<std::unique_ptr<EventLoop>, IoError> create() {
        // One worker per processor the calling thread may run on.
        return create(static_cast<std::size_t>(allowed_processors()));
    }

    // Stops every worker and joins it before returning. In a forked child: see the top of the
    // file; the worker handles are abandoned on purpose (a small, one-off leak per fork).
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Blocks the calling thread until `fd` is ready for `readiness`, has an error or a hang-up
    // (the caller's next system call then reports what happened). One waiter per descriptor.
    Result<void, IoError> wait_ready(int fd, Readiness readiness) override;

    std::size_t worker_count() const { return workers_->size(); }

    // How many wait_ready calls there have been: each one parks its caller until a worker wakes
    // it, the hand-over the receives' spin is there to avoid.
    std::uint64_t parked_waits() const { return parked_waits_.load(std::memory_order_relaxed); }

    // False in a child forked after the loop was created: its workers do not run here.
    bool owned_by_this_process() const;

  private:
    EventLoop(UniqueFd epoll, UniqueFd wake);
    Result<void, IoError> start_workers(std::size_t workers);
    void run_worker();

    UniqueFd epoll_;
    UniqueFd wake_;  // written once at shutdown and never drained, so every worker sees it
    std::uint64_t owner_generation_;  // fork generation (common/fork_generation.hpp) at creation
    // Held through a pointer so that a forked child can let go of it without destroying the
    // std::thread objects: their threads exist only in the parent, so joining would wait
    // forever, detaching is meaningless, and destroying a joinable std::thread terminates.
    std::unique_ptr<std::vector<std::thread>> workers_;
    std::atomic<std::uint64_t> parked_waits_{0};
};

}  // namespace zelto::sdk
