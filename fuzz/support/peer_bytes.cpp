#include "support/peer_bytes.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelto::fuzz {
namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz harness: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

}  // namespace

std::size_t send_then_stop_writing(int peer, std::span<const std::uint8_t> bytes) {
    // Larger buffers let whole inputs through; the kernel may cap the value, which only shortens
    // the prefix that the caller compares against.
    const int wanted = 4 << 20;
    ::setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(peer, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        fail("send");
    }
    if (::shutdown(peer, SHUT_WR) != 0) fail("shutdown");
    return sent;
}

SocketPair make_socket_pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) fail("socketpair");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace zelto::fuzz
