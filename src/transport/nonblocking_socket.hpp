// NonBlockingSocket: a non-blocking Unix stream socket (the hybrid client's): address rules,
// non-blocking connect and the two transfer primitives. Every call tries the non-blocking system
// call first and waits on a ReadinessWait only when the kernel answers EAGAIN; a receive first
// keeps asking for a bounded while (idle::kHybridReply, common/idle_strategy.hpp).
// ReadWriteConnection (connection.hpp) is the blocking stream of the same layer; both take their
// short-transfer texts to IoError's one factory and retry EINTR the same way. Their read-ahead
// differs on purpose: a hybrid reply is 48 bytes, so this socket keeps a 128-byte array inline
// instead of a connection's growing receive buffer.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/idle_strategy.hpp"
#include "common/io_error.hpp"
#include "common/result.hpp"
#include "common/unique_fd.hpp"
#include "transport/readiness_wait.hpp"

namespace zelto::transport {

struct UnixAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};

// A path whose first byte is 0 names a Linux abstract socket (every following byte, zeros
// included, is part of the name); any other path is a file-system path.
// Failures (InvalidInput): "abstract socket name must be shorter than SUN_LEN" (more than 108
// bytes in all), "paths must not contain interior null bytes", "path must be shorter than
// SUN_LEN" (108 bytes or more).
Result<UnixAddress, IoError> unix_address(std::string_view path);

class NonBlockingSocket {
  public:
    // Creates a non-blocking, close-on-exec Unix stream socket and connects it to `path`.
    static Result<NonBlockingSocket, IoError> connect(std::string_view path, ReadinessWait& loop);

    // Sends every byte (MSG_NOSIGNAL: a closed peer is an EPIPE error, not a signal).
    // A send that accepts nothing fails with "write zero".
    Result<void, IoError> send_all(const std::uint8_t* data, std::size_t size, ReadinessWait& loop);

    // Receives up to `size` bytes, at least one; the peer closing first fails with "early eof".
    // A short read asks the kernel for a whole read-ahead buffer's worth, so a reply's header
    // and body arrive with one system call; what lies beyond the caller's bytes is kept, in
    // order, for the next receive. While nothing has come it asks again as `phases` say before
    // it parks on `loop`.
    Result<std::size_t, IoError> receive_some(std::uint8_t* data, std::size_t size,
                                              ReadinessWait& loop,
                                              const IdlePhases& phases = idle::kHybridReply);

    // Receives exactly `size` bytes, or fails with "early eof" / the OS error.
    Result<void, IoError> receive_exact(std::uint8_t* data, std::size_t size, ReadinessWait& loop,
                                        const IdlePhases& phases = idle::kHybridReply);

    int fd() const { return fd_.get(); }
    const IdleStrategy& idle_strategy() const { return idle_; }

  private:
    explicit NonBlockingSocket(UniqueFd fd) : fd_(std::move(fd)) {}
    // One non-blocking recv that waits (asking again as `phases` say, then on the event loop)
    // until bytes or an end come.
    Result<std::size_t, IoError> receive_from_kernel(std::uint8_t* data, std::size_t size,
                                                     ReadinessWait& loop, const IdlePhases& phases);
    std::size_t take_read_ahead(std::uint8_t* data, std::size_t size);

    UniqueFd fd_;
    IdleStrategy idle_;
    // Bytes received but not yet handed out: read_ahead_[begin, end). A success reply (48
    // bytes) fits with room to spare; longer error texts simply take more reads.
    std::array<std::uint8_t, 128> read_ahead_{};
    std::size_t read_ahead_begin_ = 0;
    std::size_t read_ahead_end_ = 0;
};

// The hybrid client's texts for the two short transfers.
inline constexpr const char* kEarlyEofText = "early eof";
inline constexpr const char* kWriteZeroText = "write zero";

}  // namespace zelto::transport
