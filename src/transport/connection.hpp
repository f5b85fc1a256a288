// ReadWriteConnection: an owned, blocking, duplex byte stream over a connected socket (Unix or
// TCP). Besides the socket it keeps a receive buffer (bytes received ahead of the reader: a
// frame's header and body usually arrive with one receive) and a scratch area for encoding
// requests, both reused for the connection's whole life; destruction closes the socket.
// All of that lives behind one pointer, so a connection moves (into and out of the pool, through
// results) by copying that pointer.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>

#include "common/adaptive_spin.hpp"
#include "common/io_error.hpp"
#include "common/result.hpp"
#include "common/spin_before_park.hpp"
#include "common/unique_fd.hpp"
#include "engine_api/request_pieces.hpp"
#include "transport/receive_buffer.hpp"

namespace zelto::transport {

class ReadWriteConnection {
  public:
    explicit ReadWriteConnection(UniqueFd socket)
        : state_(std::make_unique<State>(std::move(socket))) {}

    // Sends every byte. MSG_NOSIGNAL turns a vanished peer into EPIPE instead of SIGPIPE;
    // EINTR and partial sends are retried; a send that accepts nothing is "failed to write whole
    // buffer".
    Result<void, IoError> write_all(std::span<const std::uint8_t> bytes);

    // The same for several buffers sent back to back, gathered into as few system calls as the
    // kernel allows (a frame header and its payload usually leave in one).
    Result<void, IoError> write_all(std::span<const std::span<const std::uint8_t>> parts);
    Result<void, IoError> write_all(std::initializer_list<std::span<const std::uint8_t>> parts) {
        return write_all(std::span<const std::span<const std::uint8_t>>(parts.begin(), parts.size()));
    }

    // Sockets have no user-space buffer on the sending side; kept so the frame layer reads like
    // the protocol.
    Result<void, IoError> flush() { return {}; }

    // Receives exactly `size` bytes into `out`, taking bytes already received ahead first and
    // then reading no further than asked; EINTR and partial receives are retried; the peer
    // closing first is "failed to fill whole buffer".
    Result<void, IoError> read_exact(std::uint8_t* out, std::size_t size);

    // The same for the rest of a reply: while the bytes are not there yet it asks again without
    // blocking for as long as fill would (the connection's spin budget), then blocks.
    Result<void, IoError> receive_exact(std::span<std::uint8_t> out);

    // Receives until at least `count` bytes are pending in the receive buffer and returns all
    // pending bytes (the first `count` and perhaps more, received ahead). Nothing is consumed.
    // A failure forgets whatever was pending: the position in the stream is lost.
    // With a spin budget, a fill that waits for the start of a reply first asks without blocking
    // and yields between tries for up to that long before it blocks, unless the replies so far
    // say the engine shares this thread's processor (common/adaptive_spin.hpp); what it returns
    // is the same either way.
    Result<std::span<const std::uint8_t>, IoError> fill(std::size_t count);

    // What one receive of fill asks for when fewer bytes are missing: a frame's header and a body
    // of up to about this much come in with one receive. It is also what a reply whose data is
    // received straight into the caller's memory may copy once more out of the buffer: 64 KiB
    // cost replies of 64 KiB tensors a second receive (15.4-16.3 against 14.0-15.2 us on one
    // vCPU); 256 KiB cost 1 MiB replies about 15 us.
    static constexpr std::size_t kReadAhead = std::size_t{128} << 10;

    // Zero (the default): fill blocks at once. Set by the connect functions for peers on this
    // machine (socket_connect.hpp).
    void set_spin_before_blocking(std::chrono::microseconds budget) {
        state_->spin = AdaptiveSpin(budget);
    }
    std::chrono::microseconds spin_before_blocking() const { return state_->spin.budget(); }
    const AdaptiveSpin& spin_policy() const { return state_->spin; }

    // Drops `count` bytes that fill returned. They stay readable until the next fill, read_exact
    // or release_spare_memory on this connection.
    void consume(std::size_t count) { state_->inbox.consume(count); }

    // Gives back an oversized receive buffer once nothing is pending (see ReceiveBuffer).
    void release_spare_memory() { state_->inbox.trim(); }

    // What the receive buffer holds now: memory this connection already took for bytes that
    // really arrived.
    std::size_t receive_capacity() const { return state_->inbox.capacity(); }

    // Reused by every request encoded for this connection.
    engine_api::RequestPieces& request_scratch() { return state_->request_scratch; }

    int fd() const { return state_->socket.get(); }

  private:
    // read_exact and receive_exact: the pending bytes first, then receives straight into `out`,
    // without blocking while `spin_budget` lasts.
    Result<void, IoError> take_exact(std::span<std::uint8_t> out,
                                     std::chrono::microseconds spin_budget);

    // One receive into `room`: without blocking while `spin` lasts, then blocking.
    ssize_t receive_into(std::span<std::uint8_t> room, SpinBeforePark& spin);

    // The buffer's room for fill's next receive, cut to the bytes still missing toward `count`
    // (or kReadAhead). A receive keeps copying for as long as the peer keeps sending, so one
    // into all of a large buffer's room could take in megabytes of a long reply, which the
    // caller would then copy once more out of the buffer (the data of a reply received straight
    // into the caller's memory, sdk/packet_receive.hpp).
    std::span<std::uint8_t> room_toward(std::size_t count);

    // Tells the spin policy how the wait for a reply's first bytes went.
    void note_reply_wait(const SpinBeforePark& spin,
                         std::optional<std::chrono::steady_clock::time_point> blocked_since);

    struct State {
        explicit State(UniqueFd fd) : socket(std::move(fd)) {}
        UniqueFd socket;
        AdaptiveSpin spin;
        ReceiveBuffer inbox;
        engine_api::RequestPieces request_scratch;
    };
    std::unique_ptr<State> state_;  // null only in a moved-from connection
};

}  // namespace zelto::transport
