#include "transport/connection.hpp"

#include <errno.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "common/retry_on_eintr.hpp"

namespace zelto::transport {

Result<void, IoError> ReadWriteConnection::write_all(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const std::size_t chunk = std::min<std::size_t>(left, SSIZE_MAX);
        const ssize_t sent =
            retry_on_eintr([&] { return ::send(state_->socket.get(), next, chunk, MSG_NOSIGNAL); });
        if (sent < 0) return unexpected(IoError::from_errno(errno));
        if (sent == 0) return unexpected(IoError::write_zero(kWriteZeroText));
        next += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return {};
}

Result<void, IoError> ReadWriteConnection::write_all(
    std::span<const std::span<const std::uint8_t>> parts) {
    // Up to kBatch buffers per system call; more are sent batch after batch, so any number of
    // parts is written without allocating.
    constexpr std::size_t kBatch = 16;
    std::size_t next_part = 0;
    std::size_t sent_of_part = 0;  // bytes of parts[next_part] already sent
    while (true) {
        iovec vectors[kBatch];
        std::size_t count = 0;
        for (std::size_t i = next_part; i < parts.size() && count < kBatch; ++i) {
            const std::size_t skip = i == next_part ? sent_of_part : 0;
            if (parts[i].size() == skip) continue;
            vectors[count++] = {const_cast<std::uint8_t*>(parts[i].data()) + skip,
                                parts[i].size() - skip};
        }
        if (count == 0) return {};
        msghdr message{};
        message.msg_iov = vectors;
        message.msg_iovlen = count;
        const ssize_t sent =
            retry_on_eintr([&] { return ::sendmsg(state_->socket.get(), &message, MSG_NOSIGNAL); });
        if (sent < 0) return unexpected(IoError::from_errno(errno));
        if (sent == 0) return unexpected(IoError::write_zero(kWriteZeroText));
        // Move past what went out: whole parts first, then the front of a partly sent one.
        auto left = static_cast<std::size_t>(sent);
        while (left > 0) {
            const std::size_t rest = parts[next_part].size() - sent_of_part;
            if (left < rest) {
                sent_of_part += left;
                break;
            }
            left -= rest;
            ++next_part;
            sent_of_part = 0;
        }
    }
}

Result<void, IoError> ReadWriteConnection::read_exact(std::uint8_t* out, std::size_t size) {
    return take_exact({out, size}, idle::kRemoteSocketReply);
}

Result<void, IoError> ReadWriteConnection::receive_exact(std::span<std::uint8_t> out) {
    return take_exact(out, state_->reply_wait);
}

Result<void, IoError> ReadWriteConnection::take_exact(std::span<std::uint8_t> out,
                                                      const IdlePhases& phases) {
    // Bytes received ahead by fill come first.
    const std::span<const std::uint8_t> ahead = state_->inbox.pending();
    const std::size_t taken = std::min(ahead.size(), out.size());
    if (taken > 0) {
        std::memcpy(out.data(), ahead.data(), taken);
        state_->inbox.consume(taken);
        out = out.subspan(taken);
    }
    IdleWait wait(phases, &state_->idle_strategy);
    while (!out.empty()) {
        const ssize_t got = receive_into(out, wait);
        if (got < 0) return unexpected(IoError::from_errno(errno));
        if (got == 0) return unexpected(IoError::unexpected_eof(kUnexpectedEofText));
        out = out.subspan(static_cast<std::size_t>(got));
    }
    return {};
}

ssize_t ReadWriteConnection::receive_into(std::span<std::uint8_t> room, IdleWait& wait) {
    const std::size_t chunk = std::min<std::size_t>(room.size(), SSIZE_MAX);
    // EINTR asks again at once; only EAGAIN goes through the wait.
    const int fd = state_->socket.get();
    const auto receive = [&](int flags) {
        return retry_on_eintr([&] { return ::recv(fd, room.data(), chunk, flags); });
    };
    while (wait.spins()) {
        const ssize_t got = receive(MSG_DONTWAIT);
        if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return got;
        if (!wait.idle()) break;
    }
    return receive(0);
}

std::span<std::uint8_t> ReadWriteConnection::room_toward(std::size_t count) {
    const std::size_t missing = count - state_->inbox.pending().size();
    const std::span<std::uint8_t> room = state_->inbox.room_for(count);
    return room.first(std::min(room.size(), std::max(missing, kReadAhead)));
}

Result<std::span<const std::uint8_t>, IoError> ReadWriteConnection::fill(std::size_t count) {
    IdleWait wait(state_->reply_wait, &state_->idle_strategy);
    while (state_->inbox.pending().size() < count) {
        const ssize_t got = receive_into(room_toward(count), wait);
        if (got < 0) {
            const int code = errno;
            state_->inbox.discard();
            return unexpected(IoError::from_errno(code));
        }
        if (got == 0) {
            state_->inbox.discard();
            return unexpected(IoError::unexpected_eof(kUnexpectedEofText));
        }
        state_->inbox.received(static_cast<std::size_t>(got));
    }
    return state_->inbox.pending();
}

}  // namespace zelto::transport
