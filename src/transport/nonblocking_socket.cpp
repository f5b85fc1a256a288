#include "transport/nonblocking_socket.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "common/retry_on_eintr.hpp"

namespace zelto::transport {

Result<UnixAddress, IoError> unix_address(std::string_view path) {
    UnixAddress result;
    result.address.sun_family = AF_UNIX;
    constexpr std::size_t capacity = sizeof result.address.sun_path;  // 108
    const std::size_t path_start = offsetof(sockaddr_un, sun_path);
    if (!path.empty() && path.front() == '\0') {
        if (path.size() > capacity) {
            return unexpected(
                IoError::invalid_input("abstract socket name must be shorter than SUN_LEN"));
        }
        // The abstract name is exactly these bytes: the length, not a terminator, ends it.
        std::memcpy(result.address.sun_path, path.data(), path.size());
        result.length = static_cast<socklen_t>(path_start + path.size());
        return result;
    }
    if (path.find('\0') != std::string_view::npos) {
        return unexpected(IoError::invalid_input("paths must not contain interior null bytes"));
    }
    if (path.size() >= capacity) {
        return unexpected(IoError::invalid_input("path must be shorter than SUN_LEN"));
    }
    std::memcpy(result.address.sun_path, path.data(), path.size());
    result.length = static_cast<socklen_t>(path_start + path.size() + 1);  // with the NUL
    return result;
}

Result<NonBlockingSocket, IoError> NonBlockingSocket::connect(std::string_view path,
                                                              ReadinessWait& loop) {
    auto address = unix_address(path);
    if (!address) return unexpected(std::move(address.error()));
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return unexpected(IoError::from_errno(errno));
    const auto* raw = reinterpret_cast<const sockaddr*>(&address->address);
    if (::connect(fd.get(), raw, address->length) == 0) return NonBlockingSocket(std::move(fd));
    // EINTR on a non-blocking connect means it carries on in the background, like EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) return unexpected(IoError::from_errno(errno));
    if (auto ready = loop.wait_ready(fd.get(), Readiness::Writable); !ready) {
        return unexpected(std::move(ready.error()));
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
        return unexpected(IoError::from_errno(errno));
    }
    if (pending != 0) return unexpected(IoError::from_errno(pending));
    return NonBlockingSocket(std::move(fd));
}

Result<void, IoError> NonBlockingSocket::send_all(const std::uint8_t* data, std::size_t size,
                                                  ReadinessWait& loop) {
    while (size > 0) {
        const ssize_t sent =
            retry_on_eintr([&] { return ::send(fd_.get(), data, size, MSG_NOSIGNAL); });
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent == 0) return unexpected(IoError::write_zero(kWriteZeroText));
        if (errno != EAGAIN && errno != EWOULDBLOCK) return unexpected(IoError::from_errno(errno));
        if (auto ready = loop.wait_ready(fd_.get(), Readiness::Writable); !ready) {
            return unexpected(std::move(ready.error()));
        }
    }
    return {};
}

Result<std::size_t, IoError> NonBlockingSocket::receive_some(std::uint8_t* data, std::size_t size,
                                                             ReadinessWait& loop,
                                                             const IdlePhases& phases) {
    if (size == 0) return std::size_t{0};
    if (read_ahead_begin_ < read_ahead_end_) return take_read_ahead(data, size);
    if (size >= read_ahead_.size()) return receive_from_kernel(data, size, loop, phases);
    auto received = receive_from_kernel(read_ahead_.data(), read_ahead_.size(), loop, phases);
    if (!received) return unexpected(std::move(received.error()));
    read_ahead_begin_ = 0;
    read_ahead_end_ = *received;
    return take_read_ahead(data, size);
}

std::size_t NonBlockingSocket::take_read_ahead(std::uint8_t* data, std::size_t size) {
    const std::size_t taken = std::min(size, read_ahead_end_ - read_ahead_begin_);
    std::memcpy(data, read_ahead_.data() + read_ahead_begin_, taken);
    read_ahead_begin_ += taken;
    return taken;
}

Result<std::size_t, IoError> NonBlockingSocket::receive_from_kernel(std::uint8_t* data,
                                                                    std::size_t size,
                                                                    ReadinessWait& loop,
                                                                    const IdlePhases& phases) {
    // A reply that comes within the spin is caught by asking again; only a slower one is left to
    // the event loop's workers.
    IdleWait wait(phases, &idle_);
    for (;;) {
        const ssize_t received = retry_on_eintr([&] { return ::recv(fd_.get(), data, size, 0); });
        if (received > 0) return static_cast<std::size_t>(received);
        if (received == 0) return unexpected(IoError::unexpected_eof(kEarlyEofText));
        if (errno != EAGAIN && errno != EWOULDBLOCK) return unexpected(IoError::from_errno(errno));
        if (wait.idle()) continue;
        if (auto ready = loop.wait_ready(fd_.get(), Readiness::Readable); !ready) {
            return unexpected(std::move(ready.error()));
        }
    }
}

Result<void, IoError> NonBlockingSocket::receive_exact(std::uint8_t* data, std::size_t size,
                                                       ReadinessWait& loop,
                                                       const IdlePhases& phases) {
    while (size > 0) {
        auto received = receive_some(data, size, loop, phases);
        if (!received) return unexpected(std::move(received.error()));
        data += *received;
        size -= *received;
    }
    return {};
}

}  // namespace zelto::transport
