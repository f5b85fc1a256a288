// The idle-connection pool of one ZeltoClient: a first-in, first-out queue of connections that
// are aligned on a frame boundary, under one mutex. It bounds only the number of idle
// connections; it never limits open connections and never makes a caller wait.
//
// Fork: a child process inherits the parent's idle sockets, which are the very same connections
// to the engine. Were the child to use one, its frames would interleave with the parent's on
// one byte stream. So the pool remembers the process that filled it, and a take from another
// process first closes every inherited idle connection - only the child's copies of the
// descriptors: nothing is sent, and the parent's connections stay open - then connects afresh.
// "Another process" is told by a counter that a fork handler bumps in every child (asking the
// kernel for the process id would cost a system call on every take and return).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "common/result.hpp"
#include "sdk/socket/client_error.hpp"
#include "transport/connection.hpp"

namespace zelto::sdk {

class ConnectionPool {
  public:
    explicit ConnectionPool(std::uint64_t max_pool_size);
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;
    // Closes the idle connections, the longest idle first.
    ~ConnectionPool();

    // The connection idle longest, or a new one from `connect` (called without the lock held, so
    // other threads can take and return connections meanwhile). No liveness check: a connection
    // the engine closed while it sat here fails on its next exchange.
    template <class Connect>
    Result<transport::ReadWriteConnection, ClientError> acquire(Connect&& connect) {
        if (auto idle = take_oldest()) return std::move(*idle);
        return connect();
    }

    // Keeps the connection at the back of the queue if there is room, else closes it.
    void return_connection(transport::ReadWriteConnection connection);

    std::uint64_t max_pool_size() const { return max_pool_size_; }
    std::size_t idle_count() const;

  private:
    std::optional<transport::ReadWriteConnection> take_oldest();

    // Under the lock: closes the idle connections if they were inherited across a fork.
    void forget_inherited_locked();

    const std::uint64_t max_pool_size_;
    mutable std::mutex mutex_;
    std::uint64_t owner_generation_;  // fork generation of the process that filled idle_;
                                      // guarded by mutex_
    std::deque<transport::ReadWriteConnection> idle_;
};

}  // namespace zelto::sdk
