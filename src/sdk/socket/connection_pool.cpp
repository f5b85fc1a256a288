#include "sdk/socket/connection_pool.hpp"

#include "common/fork_generation.hpp"

namespace zelto::sdk {

ConnectionPool::ConnectionPool(std::uint64_t max_pool_size) : max_pool_size_(max_pool_size) {
    watch_forks();
    owner_generation_ = current_fork_generation();
}

ConnectionPool::~ConnectionPool() {
    while (!idle_.empty()) idle_.pop_front();
}

void ConnectionPool::forget_inherited_locked() {
    const std::uint64_t generation = current_fork_generation();
    if (generation == owner_generation_) return;
    // Destroying a connection closes this process's descriptor only; the parent's socket, the
    // same open file, is untouched and the engine sees nothing.
    idle_.clear();
    owner_generation_ = generation;
}

std::optional<transport::ReadWriteConnection> ConnectionPool::take_oldest() {
    std::lock_guard lock(mutex_);
    forget_inherited_locked();
    if (idle_.empty()) return std::nullopt;
    std::optional<transport::ReadWriteConnection> oldest(std::move(idle_.front()));
    idle_.pop_front();
    return oldest;
}

void ConnectionPool::return_connection(transport::ReadWriteConnection connection) {
    // Pooling switched off: the connection closes when it leaves scope; the mutex is not touched.
    if (max_pool_size_ == 0) return;
    {
        std::lock_guard lock(mutex_);
        // A connection returned in a child was opened in the child (inherited ones never leave
        // the queue there), but the queue may still hold the parent's: drop those first.
        forget_inherited_locked();
        if (idle_.size() < max_pool_size_) {
            idle_.push_back(std::move(connection));
            return;
        }
    }
    // Full: `connection` closes here, outside the lock.
}

std::size_t ConnectionPool::idle_count() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace zelto::sdk
