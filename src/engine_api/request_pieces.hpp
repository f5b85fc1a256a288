// An encoded InferenceRequest as pieces to be sent back to back, for a gathered write: the
// record's own fields are written into a scratch buffer, while tensor data of any real size
// stays in the caller's buffer and is only referenced. Sent in order, the pieces are exactly
// the bytes of `encode`; what is saved is the copy of every tensor into a fresh buffer (and the
// first touch of that buffer's pages).
//
// An object is meant to be kept and reused: its scratch buffer and piece list keep their
// capacity, so a steady stream of similar requests allocates nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine_api/inference_request.hpp"

namespace zelto::engine_api {

class RequestPieces {
  public:
    // Encodes `request`, replacing what the object held. The referenced data must stay alive and
    // unchanged until the pieces have been sent. Only failure: the scratch allocation, reported
    // as std::bad_alloc.
    void encode(const InferenceRequest& request);
    // The same, unless the encoded request would be larger than `max_size` bytes: then nothing is
    // encoded (no pieces), size() is the size it would have had, and the answer is false. One
    // size computation serves both the limit and the encoding.
    bool encode_within(const InferenceRequest& request, std::uint64_t max_size);

    // Valid until the next encode or the object's destruction.
    std::span<const std::span<const std::uint8_t>> pieces() const { return pieces_; }
    // Sum of the pieces' sizes: encoded_size(request).
    std::uint64_t size() const { return size_; }

  private:
    std::vector<std::uint8_t> scratch_;
    std::vector<std::span<const std::uint8_t>> pieces_;
    std::uint64_t size_ = 0;
};

}  // namespace zelto::engine_api
