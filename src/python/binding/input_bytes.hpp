// The converted `data` argument: the bytes to send, without a copy where Python already holds
// them contiguously. Either a view into a Python object (bytes, a pinned bytearray, a
// contiguous numpy array, or the bytes produced by `.tobytes()`) that keeps a reference to that
// object, or bytes the conversion had to build itself. Downstream code copies data() once, into
// the request buffer or the shared-memory slot.
//
// A view holds a Python reference: destroy (or move from) a InputBytes only while holding the GIL.
// Reading data() without the GIL is fine as long as the InputBytes stays alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "python/support/py_ref.hpp"

namespace zelto::python {

class InputBytes {
  public:
    InputBytes() = default;

    // `size` bytes at `data`, valid for as long as `keeper` lives (and is not resized).
    static InputBytes view(OwnedRef keeper, const std::uint8_t* data, std::size_t size) {
        InputBytes arg;
        arg.keeper_ = std::move(keeper);
        arg.view_data_ = data;
        arg.view_size_ = size;
        return arg;
    }
    static InputBytes owned(std::vector<std::uint8_t> bytes) {
        InputBytes arg;
        arg.storage_ = std::move(bytes);
        return arg;
    }

    const std::uint8_t* data() const { return keeper_ ? view_data_ : storage_.data(); }
    std::size_t size() const { return keeper_ ? view_size_ : storage_.size(); }
    bool empty() const { return size() == 0; }
    std::span<const std::uint8_t> bytes() const { return {data(), size()}; }
    bool is_view() const { return static_cast<bool>(keeper_); }

    // The bytes as a vector, for code that needs to own them: moves owned storage, copies a view.
    std::vector<std::uint8_t> into_vector() && {
        if (!keeper_) return std::move(storage_);
        return std::vector<std::uint8_t>(view_data_, view_data_ + view_size_);
    }

  private:
    OwnedRef keeper_;
    const std::uint8_t* view_data_ = nullptr;
    std::size_t view_size_ = 0;
    std::vector<std::uint8_t> storage_;
};

}  // namespace zelto::python
