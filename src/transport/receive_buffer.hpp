// The bytes a connection has received but not yet consumed, in one buffer that is kept from
// frame to frame: a steady stream of replies reads into memory that is already mapped, and a
// frame's body is decoded where it landed instead of being copied out first.
//
// Memory rules, because every length comes from the peer:
//  - The buffer grows only when it is full of received bytes and more are wanted, to at most
//    the wanted total, and by at most doubling (or straight to kFirstChunk, 1 MiB, like the
//    up-front reservation the decoder allows). A huge announced length followed by a close
//    therefore costs no more than about twice the bytes that really arrived.
//  - kMinCapacity (64 KiB) is the least it holds once used, so a small frame's header and body
//    come in with one receive.
//  - A buffer larger than kRetainedCapacity (64 MiB) is released as soon as nothing is pending
//    (trim, discard): one huge reply does not pin its memory for the connection's life.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace zelto::transport {

class ReceiveBuffer {
  public:
    static constexpr std::size_t kMinCapacity = std::size_t{64} << 10;
    static constexpr std::size_t kFirstChunk = std::size_t{1} << 20;
    static constexpr std::size_t kRetainedCapacity = std::size_t{64} << 20;

    // Received and not consumed yet.
    std::span<const std::uint8_t> pending() const { return {data_.get() + begin_, end_ - begin_}; }

    // Drops the first `count` pending bytes. Their memory stays valid (views into it may still be
    // read) until the next room_for, trim or discard.
    void consume(std::size_t count) { begin_ += count; }

    // Free space right behind the pending bytes, to receive into on the way to `wanted` pending
    // bytes in total (more may be received: they stay pending). Compacts and grows by the
    // rules above; never empty. Throws std::bad_alloc when memory runs out.
    std::span<std::uint8_t> room_for(std::size_t wanted);

    // `count` bytes were received into the front of the last room_for.
    void received(std::size_t count) { end_ += count; }

    // Releases an oversized buffer when nothing is pending.
    void trim();

    // Forgets everything pending (after a failed read the stream position is lost anyway), then
    // trims.
    void discard();

    std::size_t capacity() const { return capacity_; }

  private:
    struct Free {
        void operator()(std::uint8_t* bytes) const { std::free(bytes); }
    };

    void grow(std::size_t wanted);

    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;  // first pending byte
    std::size_t end_ = 0;    // one past the last received byte
};

}  // namespace zelto::transport
