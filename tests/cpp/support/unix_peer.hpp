// The socket plumbing of the test peers that play a hybrid engine on a Unix listener: a
// listening socket bound to a name, bounded waits, the 52-byte request frame, whole writes and
// the wait for the client to hang up.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "ipc/hybrid_messages.hpp"
#include "transport/nonblocking_socket.hpp"

namespace zelto::unix_peer {

// A blocking listener on `name` (a file-system path, or an abstract name starting with NUL).
inline UniqueFd listen_unix(const std::string& name, int backlog) {
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto address = transport::unix_address(name);
    EXPECT_TRUE(address);
    EXPECT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address->address),
                     address->length),
              0);
    EXPECT_EQ(::listen(listener.get(), backlog), 0);
    return listener;
}

// Bounded, so a broken test fails instead of hanging.
inline bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 10000) == 1;
}

inline bool read_request_frame(int fd, std::vector<std::uint8_t>& into) {
    into.assign(ipc::kRequestFrameSize, 0);
    std::size_t got = 0;
    while (got < into.size()) {
        if (!readable(fd)) return false;
        const ssize_t n = ::recv(fd, into.data() + got, into.size() - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

inline void write_all(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Closing right after a reply could race the client's read of it: wait for it to hang up.
inline void wait_for_hang_up(int fd) {
    char byte;
    while (readable(fd) && ::recv(fd, &byte, 1, 0) > 0) {
    }
}

}  // namespace zelto::unix_peer
