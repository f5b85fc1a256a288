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

#include "common/idle_strategy.hpp"
#include "common/io_error.hpp"
#include "common/result.hpp"
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
        return write_all(
            std::span<const std::span<const std::uint8_t>>(parts.begin(), parts.size()));
    }

    // Sockets have no user-space buffer on the sending side; kept so the frame layer reads like
    // the protocol.
    Result<void, IoError> flush() { return {}; }

    // Receives exactly `size` bytes into `out`, taking bytes already received ahead first and
    // then reading no further than asked; EINTR and partial receives are retried; the peer
    // closing first is "failed to fill whole buffer".
    Result<void, IoError> read_exact(std::uint8_t* out, std::size_t size);

    // The same for the rest of a reply: while the bytes are not there yet it waits as fill does
    // (the connection's reply wait), then blocks.
    Result<void, IoError> receive_exact(std::span<std::uint8_t> out);

    // Receives until at least `count` bytes are pending in the receive buffer and returns all
    // pending bytes (the first `count` and perhaps more, received ahead). Nothing is consumed.
    // A failure forgets whatever was pending: the position in the stream is lost.
    // While nothing has come, each receive asks again without blocking for as long as the
    // connection's reply wait says (common/idle_strategy.hpp), then blocks; what it returns is
    // the same either way.
    Result<std::span<const std::uint8_t>, IoError> fill(std::size_t count);

    // What one receive of fill asks for when fewer bytes are missing: a frame's header and a body
    // of up to about this much come in with one receive. It is also what a reply whose data is
    // received straight into the caller's memory may copy once more out of the buffer: 64 KiB
    // cost replies of 64 KiB tensors a second receive, 256 KiB slowed 1 MiB replies (bench:
    // bench/run.sh --only zelto-unix,zelto-tcp --sizes 65536,1048576 --one-core --no-soak).
    static constexpr std::size_t kReadAhead = std::size_t{128} << 10;

    // What a short transfer on this connection reads: the peer closed before a receive was
    // complete, or a send accepted no bytes.
    static constexpr const char* kUnexpectedEofText = "failed to fill whole buffer";
    static constexpr const char* kWriteZeroText = "failed to write whole buffer";

    // How a receive waits for bytes that are not there yet. idle::kRemoteSocketReply (the
    // default) blocks at once; the connect functions set idle::kLocalSocketReply for peers on
    // this machine (socket_connect.hpp).
    void set_reply_wait(const IdlePhases& phases) { state_->reply_wait = phases; }
    const IdlePhases& reply_wait() const { return state_->reply_wait; }
    const IdleStrategy& idle_strategy() const { return state_->idle_strategy; }

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
    // waiting as `phases` say.
    Result<void, IoError> take_exact(std::span<std::uint8_t> out, const IdlePhases& phases);

    // One receive into `room`: without blocking while `wait` spins, then blocking.
    ssize_t receive_into(std::span<std::uint8_t> room, IdleWait& wait);

    // The buffer's room for fill's next receive, cut to the bytes still missing toward `count`
    // (or kReadAhead). A receive keeps copying for as long as the peer keeps sending, so one
    // into all of a large buffer's room could take in megabytes of a long reply, which the
    // caller would then copy once more out of the buffer (the data of a reply received straight
    // into the caller's memory, sdk/socket/packet_receive.hpp).
    std::span<std::uint8_t> room_toward(std::size_t count);

    struct State {
        explicit State(UniqueFd fd) : socket(std::move(fd)) {}
        UniqueFd socket;
        IdlePhases reply_wait = idle::kRemoteSocketReply;
        IdleStrategy idle_strategy;
        ReceiveBuffer inbox;
        engine_api::RequestPieces request_scratch;
    };
    std::unique_ptr<State> state_;  // null only in a moved-from connection
};

}  // namespace zelto::transport
