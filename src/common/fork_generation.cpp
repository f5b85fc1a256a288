#include "common/fork_generation.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace zelto {
namespace {

std::atomic<std::uint64_t> fork_generation{0};

void count_fork_in_child() {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void watch_forks() {
    static std::once_flag registered;
    std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, &count_fork_in_child); });
}

std::uint64_t current_fork_generation() {
    return fork_generation.load(std::memory_order_relaxed);
}

}  // namespace zelto
