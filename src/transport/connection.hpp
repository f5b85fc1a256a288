// ReadWriteConnection: an owned, blocking, duplex byte stream over a connected socket (Unix or
// TCP). It stores nothing but the socket; destruction closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "common/unique_fd.hpp"

namespace zelto::transport {

class ReadWriteConnection {
  public:
    explicit ReadWriteConnection(UniqueFd socket) : socket_(std::move(socket)) {}

    // Sends every byte. MSG_NOSIGNAL turns a vanished peer into EPIPE instead of SIGPIPE;
    // EINTR and partial sends are retried; a send that accepts nothing is "failed to write whole
    // buffer".
    Result<void, IoError> write_all(std::span<const std::uint8_t> bytes);

    // The same for several buffers sent back to back, gathered into as few system calls as the
    // kernel allows (a frame header and its payload usually leave in one).
    Result<void, IoError> write_all(std::initializer_list<std::span<const std::uint8_t>> parts);

    // Sockets have no user-space buffer; kept so the frame layer reads like the protocol.
    Result<void, IoError> flush() { return {}; }

    // Receives exactly `size` bytes into `out`; EINTR and partial receives are retried; the peer
    // closing first is "failed to fill whole buffer".
    Result<void, IoError> read_exact(std::uint8_t* out, std::size_t size);

    int fd() const { return socket_.get(); }

  private:
    UniqueFd socket_;
};

}  // namespace zelto::transport
