#include "ipc/hybrid_messages.hpp"

#include <cstring>

#include "common/little_endian.hpp"

namespace zelto::ipc {

std::array<std::uint8_t, HybridRequest::kEncodedSize> HybridRequest::encode() const {
    std::array<std::uint8_t, kEncodedSize> out{};
    metadata.encode(out.data());
    ByteWriter writer(out.data() + transport::RequestMetadata::kEncodedSize);
    writer.put(shm_offset);
    writer.put(shm_size);
    return out;
}

std::array<std::uint8_t, kRequestFrameSize> encode_request_frame(const HybridRequest& request) {
    std::array<std::uint8_t, kRequestFrameSize> frame{};
    // model_id 0: the hybrid client has no model argument.
    transport::encode_request_header(frame.data(), 0, transport::FrameOp::HybridInfer,
                                     static_cast<std::uint32_t>(HybridRequest::kEncodedSize));
    const auto payload = request.encode();
    std::memcpy(frame.data() + transport::kRequestHeaderSize, payload.data(), payload.size());
    return frame;
}

std::array<std::uint8_t, HybridResponse::kEncodedSize> HybridResponse::encode() const {
    std::array<std::uint8_t, kEncodedSize> out{};
    ByteWriter writer(out.data());
    writer.put(metadata.request_id);
    writer.put(metadata.status);
    writer.put_bytes(metadata.padding.data(), metadata.padding.size());
    writer.put(metadata.latency_ns);
    writer.put(shm_offset);
    writer.put(shm_size);
    return out;
}

Result<HybridResponse, engine_api::DecodeError> HybridResponse::decode(const std::uint8_t* body,
                                                                       std::size_t size) {
    if (size < kEncodedSize) {
        return unexpected(engine_api::DecodeError{"io error: unexpected end of file"});
    }
    HybridResponse response;
    response.metadata.request_id = load_le<std::uint64_t>(body);
    response.metadata.status = body[8];
    for (std::size_t i = 0; i < response.metadata.padding.size(); ++i) {
        response.metadata.padding[i] = body[9 + i];
    }
    response.metadata.latency_ns = load_le<std::uint64_t>(body + 16);
    response.shm_offset = load_le<std::uint64_t>(body + 24);
    response.shm_size = load_le<std::uint64_t>(body + 32);
    return response;
}

}  // namespace zelto::ipc
