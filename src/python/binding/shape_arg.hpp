// A converted `shape` argument. Up to kInlineDims dimensions (every shape a shared-memory tensor
// block can carry, and nearly every shape anyone passes) are kept in the object itself, so
// converting a shape allocates nothing; a longer one moves to the heap. (Through a std::vector
// a shape cost a malloc and a free on every call; bench: no scenario reruns this yet.)
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelto::python {

class ShapeArg {
  public:
    static constexpr std::size_t kInlineDims = 8;

    ShapeArg() = default;
    explicit ShapeArg(std::vector<std::int64_t> dims) : size_(dims.size()) {
        if (size_ <= kInlineDims) {
            std::copy(dims.begin(), dims.end(), inline_.begin());
        } else {
            spilled_ = std::move(dims);
        }
    }

    void push_back(std::int64_t dim) {
        if (size_ < kInlineDims) {
            inline_[size_++] = dim;
            return;
        }
        if (size_ == kInlineDims) spilled_.assign(inline_.begin(), inline_.end());
        spilled_.push_back(dim);
        ++size_;
    }

    const std::int64_t* data() const {
        return size_ <= kInlineDims ? inline_.data() : spilled_.data();
    }
    std::size_t size() const { return size_; }
    std::span<const std::int64_t> dims() const { return {data(), size_}; }

  private:
    std::array<std::int64_t, kInlineDims> inline_{};
    std::size_t size_ = 0;
    std::vector<std::int64_t> spilled_;  // all dimensions, once there are more than kInlineDims
};

}  // namespace zelto::python
