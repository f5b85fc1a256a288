#include "transport/receive_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace zelto::transport {

std::span<std::uint8_t> ReceiveBuffer::room_for(std::size_t wanted) {
    if (begin_ == end_) begin_ = end_ = 0;  // nothing pending: start over at the front
    if (end_ == capacity_ && begin_ > 0) {
        // Full, but with consumed bytes at the front: move the pending ones down first.
        std::memmove(data_.get(), data_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == capacity_) grow(wanted);
    return {data_.get() + end_, capacity_ - end_};
}

void ReceiveBuffer::grow(std::size_t wanted) {
    // Here begin_ == 0 and every byte of the buffer holds a received, pending byte.
    const std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
    const std::size_t next = std::max(
        kMinCapacity, std::min(std::max(wanted, capacity_ + 1), std::max(doubled, kFirstChunk)));
    // realloc keeps the received bytes; large blocks are moved by remapping, not copying.
    void* grown = std::realloc(data_.get(), next);
    if (grown == nullptr) throw std::bad_alloc();
    (void)data_.release();
    data_.reset(static_cast<std::uint8_t*>(grown));
    capacity_ = next;
}

void ReceiveBuffer::trim() {
    if (begin_ != end_ || capacity_ <= kRetainedCapacity) return;
    data_.reset();
    capacity_ = begin_ = end_ = 0;
}

void ReceiveBuffer::discard() {
    begin_ = end_ = 0;
    trim();
}

}  // namespace zelto::transport
