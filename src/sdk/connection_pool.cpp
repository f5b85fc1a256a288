#include "sdk/connection_pool.hpp"

namespace zelto::sdk {

ConnectionPool::~ConnectionPool() {
    while (!idle_.empty()) idle_.pop_front();
}

std::optional<transport::ReadWriteConnection> ConnectionPool::take_oldest() {
    std::lock_guard lock(mutex_);
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
