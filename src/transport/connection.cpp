#include "transport/connection.hpp"

#include <errno.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>

namespace zelto::transport {

Result<void, IoError> ReadWriteConnection::write_all(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const std::size_t chunk = std::min<std::size_t>(left, SSIZE_MAX);
        const ssize_t sent = ::send(socket_.get(), next, chunk, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return unexpected(IoError::from_errno(errno));
        }
        if (sent == 0) return unexpected(IoError::write_zero());
        next += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return {};
}

Result<void, IoError> ReadWriteConnection::write_all(
    std::initializer_list<std::span<const std::uint8_t>> parts) {
    constexpr std::size_t kMaxParts = 8;
    iovec vectors[kMaxParts];
    std::size_t count = 0;
    for (std::span<const std::uint8_t> part : parts) {
        if (part.empty()) continue;
        if (count == kMaxParts) return unexpected(IoError::invalid_input("too many buffers"));
        vectors[count++] = {const_cast<std::uint8_t*>(part.data()), part.size()};
    }
    iovec* next = vectors;
    while (count > 0) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(socket_.get(), &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return unexpected(IoError::from_errno(errno));
        }
        if (sent == 0) return unexpected(IoError::write_zero());
        // Drop what went out: whole buffers first, then the front of a partly sent one.
        auto left = static_cast<std::size_t>(sent);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
    return {};
}

Result<void, IoError> ReadWriteConnection::read_exact(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
        const std::size_t chunk = std::min<std::size_t>(size, SSIZE_MAX);
        const ssize_t got = ::recv(socket_.get(), out, chunk, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return unexpected(IoError::from_errno(errno));
        }
        if (got == 0) return unexpected(IoError::unexpected_eof());
        out += got;
        size -= static_cast<std::size_t>(got);
    }
    return {};
}

}  // namespace zelto::transport
