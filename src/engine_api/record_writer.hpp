// Writes request records field by field into a buffer that a size pass made exactly large
// enough. Used by `encode` (one contiguous record) and by `encode_pieces` (the same bytes, with
// large tensor data left in the caller's buffers and referenced instead of copied).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/little_endian.hpp"
#include "engine_api/inference_request.hpp"

namespace zelto::engine_api::detail {

class RecordWriter {
  public:
    // `out` must hold every byte that will be written. With `pieces`, tensor data of at least
    // kReferencedDataMin bytes is not written but referenced: the record then is the pieces in
    // order, the written stretches of `out` alternating with the referenced data.
    explicit RecordWriter(std::uint8_t* out,
                          std::vector<std::span<const std::uint8_t>>* pieces = nullptr)
        : out_(out), pieces_(pieces), stretch_start_(out) {}

    template <class T>
    void put(T value) {
        out_.put(value);
    }
    void put_length(std::uint64_t length) { out_.put<std::uint64_t>(length); }
    void put_string(std::string_view text) {
        put_length(text.size());
        out_.put_bytes(text.data(), text.size());
    }
    void put_tag(bool present) { out_.put<std::uint8_t>(present ? 1 : 0); }

    template <class T>
    void put_optional(const std::optional<T>& value) {
        put_tag(value.has_value());
        if (value) put(*value);
    }
    void put_optional(const std::optional<bool>& flag) {
        put_tag(flag.has_value());
        if (flag) out_.put<std::uint8_t>(*flag ? 1 : 0);
    }
    void put_optional(const std::optional<std::string>& text) {
        put_tag(text.has_value());
        if (text) put_string(*text);
    }

    // Tensor bytes: copied, or referenced when gathering and large enough to be worth a piece.
    void put_data(std::span<const std::uint8_t> data) {
        if (pieces_ != nullptr && is_referenced(data.size())) {
            end_stretch();
            pieces_->push_back(data);
            return;
        }
        out_.put_bytes(data.data(), data.size());
    }

    void put_tensor(const TensorView& tensor);
    void put_metadata(const RequestMetadata& metadata);
    void put_request(const InferenceRequest& request);

    // Closes the last written stretch (gathering only).
    void finish() {
        if (pieces_ != nullptr) end_stretch();
    }

    std::uint8_t* position() const { return out_.position(); }

    // Data below this size is cheaper to copy than to send as a piece of its own.
    static constexpr std::size_t kReferencedDataMin = 512;
    static bool is_referenced(std::size_t size) { return size >= kReferencedDataMin; }

  private:
    void end_stretch() {
        std::uint8_t* here = out_.position();
        if (here != stretch_start_) pieces_->push_back({stretch_start_, here});
        stretch_start_ = here;
    }

    ByteWriter out_;
    std::vector<std::span<const std::uint8_t>>* pieces_;
    std::uint8_t* stretch_start_;
};

}  // namespace zelto::engine_api::detail
