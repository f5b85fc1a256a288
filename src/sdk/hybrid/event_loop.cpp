#include "sdk/hybrid/event_loop.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include "common/fork_generation.hpp"
#include "common/processors.hpp"
#include "common/retry_on_eintr.hpp"

namespace zelto::sdk {
namespace {

// One parked caller. It lives on the caller's stack; the worker that receives its one-shot
// event notifies while holding the mutex, so the caller cannot return (and destroy it) before
// the worker has let go of it.
struct Waiter {
    std::mutex mutex;
    std::condition_variable ready_cv;
    bool ready = false;
    // Stored (release) before the epoll registration that carries the waiter's address, loaded
    // (acquire) by the worker that receives the event. The kernel already orders epoll_ctl before
    // the event; this states the hand-over in C++ terms, which ThreadSanitizer needs when the
    // registration is re-armed with EPOLL_CTL_MOD (it counts only EPOLL_CTL_ADD as a hand-over).
    std::atomic<bool> published{false};

    void wake() {
        [[maybe_unused]] const bool handed_over = published.load(std::memory_order_acquire);
        std::lock_guard<std::mutex> lock(mutex);
        ready = true;
        ready_cv.notify_one();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        ready_cv.wait(lock, [this] { return ready; });
    }
};

// Workers must not take the process's signals: the embedding interpreter expects to handle them
// on its own threads. Threads inherit the creator's mask, so block everything while spawning.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    sigset_t previous_;
};

}  // namespace

EventLoop::EventLoop(UniqueFd epoll, UniqueFd wake)
    : epoll_(std::move(epoll)),
      wake_(std::move(wake)),
      owner_generation_(current_fork_generation()),
      workers_(std::make_unique<std::vector<std::thread>>()) {}

bool EventLoop::owned_by_this_process() const {
    return current_fork_generation() == owner_generation_;
}

Result<std::unique_ptr<EventLoop>, IoError> EventLoop::create(std::size_t workers) {
    watch_forks();  // before the loop saves its generation
    UniqueFd epoll(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll.valid()) return unexpected(IoError::from_errno(errno));
    UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) return unexpected(IoError::from_errno(errno));
    // data.ptr == nullptr marks the shutdown signal; waiters always carry a pointer.
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0) {
        return unexpected(IoError::from_errno(errno));
    }
    std::unique_ptr<EventLoop> loop(new EventLoop(std::move(epoll), std::move(wake)));
    // On failure the destructor stops and joins the workers that did start.
    if (auto started = loop->start_workers(workers < 1 ? 1 : workers); !started) {
        return unexpected(std::move(started.error()));
    }
    return loop;
}

Result<void, IoError> EventLoop::start_workers(std::size_t workers) {
    SignalsBlocked blocked;
    try {
        workers_->reserve(workers);
        for (std::size_t i = 0; i < workers; ++i) workers_->emplace_back([this] { run_worker(); });
    } catch (const std::system_error& error) {
        return unexpected(IoError::from_errno(error.code().value()));
    } catch (const std::bad_alloc&) {
        return unexpected(IoError::from_errno(ENOMEM));
    }
    return {};
}

EventLoop::~EventLoop() {
    if (!owned_by_this_process()) {
        // A forked child: the workers run only in the parent, which shares the eventfd and the
        // epoll instance. Leave both untouched (closing our copies of the descriptors below
        // does not affect the parent's) and leak the thread handles rather than join them.
        [[maybe_unused]] std::vector<std::thread>* abandoned = workers_.release();
        return;
    }
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot block or fail short of a counter overflow, which one write
    // cannot cause.
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
    for (auto& worker : *workers_) worker.join();
}

void EventLoop::run_worker() {
    epoll_event events[16];
    for (;;) {
        const int count = retry_on_eintr([&] { return epoll_wait(epoll_.get(), events, 16, -1); });
        // Only a broken epoll descriptor gets here; nothing can be watched any more.
        if (count < 0) return;
        bool stop = false;
        for (int i = 0; i < count; ++i) {
            if (events[i].data.ptr == nullptr) {
                stop = true;
            } else {
                static_cast<Waiter*>(events[i].data.ptr)->wake();
            }
        }
        if (stop) return;
    }
}

Result<void, IoError> EventLoop::wait_ready(int fd, Readiness readiness) {
    Waiter waiter;
    epoll_event event{};
    // One-shot: exactly one worker receives the event, and the registration goes quiet after
    // it, so no worker can touch `waiter` once it has been woken.
    event.events = static_cast<std::uint32_t>(readiness) | EPOLLONESHOT;
    event.data.ptr = &waiter;
    waiter.published.store(true, std::memory_order_release);
    // A descriptor stays registered after its event, disarmed, so the next wait re-arms it with
    // one call. ENOENT: first wait on it, or it was closed meanwhile (closing removes it) and the
    // number now names another socket.
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) != 0) {
        if (errno != ENOENT || epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
            return unexpected(IoError::from_errno(errno));
        }
    }
    parked_waits_.fetch_add(1, std::memory_order_relaxed);
    waiter.wait();
    return {};
}

}  // namespace zelto::sdk
