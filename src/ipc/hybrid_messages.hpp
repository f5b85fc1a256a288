// The two records of the hybrid protocol and the frames that carry them over the Unix socket.
// Neither record carries tensor bytes: each names a tensor block inside the shared region.
//
//   request frame (52 bytes): model_id u32 = 0, op u32 = 4, payload_len u32 = 40, HybridRequest
//   reply frame:              reply_status u32, body_len u32, body (HybridResponse or error text)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/result.hpp"
#include "engine_api/record_reader.hpp"
#include "transport/frame.hpp"
#include "transport/request_metadata.hpp"

namespace zelto::ipc {

struct HybridRequest {
    static constexpr std::size_t kEncodedSize = 40;

    transport::RequestMetadata metadata;
    std::uint64_t shm_offset = 0;  // start of the request's tensor block, from the region start
    std::uint64_t shm_size = 0;    // 80 + data length

    std::array<std::uint8_t, kEncodedSize> encode() const;
};

inline constexpr std::size_t kRequestFrameSize =
    transport::kRequestHeaderSize + HybridRequest::kEncodedSize;
static_assert(transport::RequestMetadata::kEncodedSize + 8 + 8 == HybridRequest::kEncodedSize);
static_assert(kRequestFrameSize == 52);

// The whole request frame, so that it can leave in a single send.
std::array<std::uint8_t, kRequestFrameSize> encode_request_frame(const HybridRequest& request);

struct ResponseMetadata {
    static constexpr std::size_t kEncodedSize = 24;

    std::uint64_t request_id = 0;
    std::uint8_t status = 0;
    std::array<std::uint8_t, 7> padding{};
    std::uint64_t latency_ns = 0;
};
static_assert(8 + 1 + 7 + 8 == ResponseMetadata::kEncodedSize);

struct HybridResponse {
    static constexpr std::size_t kEncodedSize = 40;

    ResponseMetadata metadata;
    std::uint64_t shm_offset = 0;  // start of the result's tensor block, from the region start
    std::uint64_t shm_size = 0;

    // The engine writes this; the client only decodes.
    std::array<std::uint8_t, kEncodedSize> encode() const;

    // Decodes from the front of a reply body; bytes after the first 40 are ignored. Every bit
    // pattern is a valid field, so the only failure is a body that is too short ("io error:
    // unexpected end of file").
    static Result<HybridResponse, engine_api::DecodeError> decode(const std::uint8_t* body,
                                                                  std::size_t size);
};
static_assert(ResponseMetadata::kEncodedSize + 8 + 8 == HybridResponse::kEncodedSize);

}  // namespace zelto::ipc
