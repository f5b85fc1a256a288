#include "engine_api/request_pieces.hpp"

#include "engine_api/record_writer.hpp"

namespace zelto::engine_api {
namespace {

using detail::RecordWriter;

// Scratch capacity kept between requests; a larger one is given back at the next request
// that needs no more than this.
constexpr std::size_t kRetainedScratch = std::size_t{1} << 20;

// Bytes of tensor data that the writer references rather than copies.
std::uint64_t referenced_size(const InferenceRequest& request) {
    std::uint64_t total = 0;
    const auto add = [&](std::span<const std::uint8_t> data) {
        if (RecordWriter::is_referenced(data.size())) total += data.size();
    };
    add(request.input.data);
    for (const NamedTensor& named : request.additional_inputs) add(named.tensor.data);
    return total;
}

}  // namespace

void RequestPieces::encode(const InferenceRequest& request) {
    (void)encode_within(request, UINT64_MAX);
}

bool RequestPieces::encode_within(const InferenceRequest& request, std::uint64_t max_size) {
    size_ = encoded_size(request);
    pieces_.clear();
    if (size_ > max_size) return false;
    // What is written in line: everything but the referenced data. Resized (not reallocated)
    // when the capacity is already there; the writer overwrites every byte of it.
    const auto in_line = static_cast<std::size_t>(size_ - referenced_size(request));
    // One request with a huge shape or text must not pin its scratch for good.
    if (scratch_.capacity() > kRetainedScratch && in_line <= kRetainedScratch) {
        std::vector<std::uint8_t>().swap(scratch_);
    }
    scratch_.resize(in_line);
    RecordWriter out(scratch_.data(), &pieces_);
    out.put_request(request);
    out.finish();
    return true;
}

}  // namespace zelto::engine_api
