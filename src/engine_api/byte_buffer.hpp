// An owned, fixed-size byte buffer that is allocated once and never zero-filled: the encoder
// overwrites every byte, so clearing a multi-megabyte tensor copy first would be wasted work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>

namespace zelto::engine_api {

class ByteBuffer {
  public:
    ByteBuffer() = default;

    // Nothing when the allocation fails; the caller turns that into an error value.
    static std::optional<ByteBuffer> allocate(std::size_t size) {
        ByteBuffer buffer;
        if (size == 0) return buffer;
        buffer.bytes_.reset(new (std::nothrow) std::uint8_t[size]);
        if (!buffer.bytes_) return std::nullopt;
        buffer.size_ = size;
        return buffer;
    }

    std::uint8_t* data() { return bytes_.get(); }
    const std::uint8_t* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }
    std::span<const std::uint8_t> bytes() const { return {bytes_.get(), size_}; }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

}  // namespace zelto::engine_api
