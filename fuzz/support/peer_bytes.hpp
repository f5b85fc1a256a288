// The far end of a stream socket playing an engine that has written some bytes and then stopped
// writing: the reader sees exactly those bytes, then end of file, while its own writes are still
// accepted (a hybrid exchange writes its request before it reads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/unique_fd.hpp"

namespace zelto::fuzz {

// Queues as much of `bytes` on `peer` as the socket buffers accept without blocking, then shuts
// down the peer's writing side. Returns how many bytes were queued: the reader sees exactly that
// prefix, which is what a target must compare against. Aborts if the socket itself fails.
std::size_t send_then_stop_writing(int peer, std::span<const std::uint8_t> bytes);

// A connected pair of Unix stream sockets: `reader` for the code under test, `peer` for
// send_then_stop_writing.
struct SocketPair {
    UniqueFd reader;
    UniqueFd peer;
};
SocketPair make_socket_pair();

}  // namespace zelto::fuzz
