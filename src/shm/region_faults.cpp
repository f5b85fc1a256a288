#include "shm/region_faults.hpp"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <mutex>

namespace zelto::shm {
namespace {

// The access this thread is inside, if any. Initial-exec: the handler must read it without
// ever allocating, and it is one pointer of the static TLS every thread has.
struct ArmedAccess {
    sigjmp_buf resume;
    std::uintptr_t begin;
    std::uintptr_t end;
    std::uintptr_t fault_address;
};
__attribute__((tls_model("initial-exec"))) thread_local ArmedAccess* t_armed = nullptr;

struct sigaction g_previous;  // what SIGBUS did before us; written once, before we are installed

// A SIGBUS that is not ours: what would have happened without us.
void pass_on(int signal, siginfo_t* info, void* context) {
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(signal, info, context);
        return;
    }
    if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    // The default action (a fault cannot be ignored): put it back. A fault then happens again
    // when the instruction is retried and kills the process as it would have; a signal sent by
    // someone is sent again (it is not blocked, see SA_NODEFER).
    sigaction(SIGBUS, &g_previous, nullptr);
    if (info->si_code <= 0) raise(signal);
}

void on_sigbus(int signal, siginfo_t* info, void* context) {
    ArmedAccess* const armed = t_armed;
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    // si_code > 0: raised by the kernel for this thread's own memory access.
    if (armed != nullptr && info->si_code > 0 && address >= armed->begin && address < armed->end) {
        armed->fault_address = address;
        siglongjmp(armed->resume, 1);
    }
    pass_on(signal, info, context);
}

void install_handler() {
    struct sigaction action{};
    action.sa_sigaction = &on_sigbus;
    sigemptyset(&action.sa_mask);
    // SA_NODEFER: leaving the handler by siglongjmp must not leave SIGBUS blocked (a blocked
    // SIGBUS from a fault kills the process), and saving the mask would cost a system call per
    // access.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK | SA_RESTART;
    sigaction(SIGBUS, nullptr, &g_previous);
    sigaction(SIGBUS, &action, nullptr);
}

// Out of line and never inlined: the sigsetjmp frame must stay alive while `access` runs, and
// nothing in it may need destroying when the handler jumps back into it.
[[gnu::noinline]] bool run_armed(ArmedAccess& armed, detail::RegionAccess access, void* context) {
    t_armed = &armed;
    if (sigsetjmp(armed.resume, 0) != 0) {
        t_armed = nullptr;
        // Our own handler leaves SIGBUS unblocked (SA_NODEFER), but a runtime that wraps signal
        // handlers (ThreadSanitizer's does) may have blocked it around ours; a fault with SIGBUS
        // blocked kills the process, so it is unblocked here, on the fault path only.
        sigset_t bus;
        sigemptyset(&bus);
        sigaddset(&bus, SIGBUS);
        pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
        return false;
    }
    access(context);
    t_armed = nullptr;
    return true;
}

}  // namespace

namespace detail {

std::optional<RegionFault> run_catching_region_faults(const std::uint8_t* region,
                                                      std::uint64_t size, RegionAccess access,
                                                      void* context) noexcept {
    // Checked on every access, so the common case is one acquire load rather than a call.
    static std::atomic<bool> installed{false};
    if (!installed.load(std::memory_order_acquire)) {
        static std::once_flag once;
        std::call_once(once, install_handler);
        installed.store(true, std::memory_order_release);
    }
    ArmedAccess armed;
    armed.begin = reinterpret_cast<std::uintptr_t>(region);
    armed.end = armed.begin + size;
    armed.fault_address = 0;
    // An access that runs inside another one (none does today) keeps the outer one armed.
    ArmedAccess* const outer = t_armed;
    const bool completed = run_armed(armed, access, context);
    t_armed = outer;
    if (completed) return std::nullopt;
    return RegionFault{armed.fault_address - armed.begin};
}

}  // namespace detail
}  // namespace zelto::shm
