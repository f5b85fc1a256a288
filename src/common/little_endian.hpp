// Fixed-width little-endian integers in byte buffers. The host is little-endian (x86-64,
// aarch64); memcpy keeps unaligned access well-defined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

namespace zelto {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "zelto_sdk assumes a little-endian host");

template <class T>
inline T load_le(const void* source) {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, source, sizeof value);
    return value;
}

template <class T>
inline void store_le(void* target, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(target, &value, sizeof value);
}

// Appends values to a pre-sized byte buffer; the caller sizes it exactly (no growth).
class ByteWriter {
  public:
    explicit ByteWriter(std::uint8_t* out) : out_(out) {}

    template <class T>
    void put(T value) {
        store_le(out_, value);
        out_ += sizeof value;
    }
    void put_bytes(const void* data, std::size_t size) {
        if (size != 0) std::memcpy(out_, data, size);
        out_ += size;
    }
    std::uint8_t* position() const { return out_; }

  private:
    std::uint8_t* out_;
};

}  // namespace zelto
