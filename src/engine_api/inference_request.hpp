// The request records of the engine wire protocol and their encoding.
//
// The request side only borrows: a TensorView points at shape and data that the caller keeps
// alive until `encode` returns, so a tensor's bytes are copied exactly once, from the caller's
// buffer straight into the encoded record. The decoded (reply) side owns its bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "engine_api/byte_buffer.hpp"
#include "engine_api/tensor_dtype.hpp"

namespace zelto::engine_api {

// A tensor to be written; on the wire it is a BinaryTensorPacketPayload with `data` present and
// `data_base64` absent.
struct TensorView {
    std::span<const std::int64_t> shape;
    TensorDtype dtype = TensorDtype::Float32;
    std::span<const std::uint8_t> data;
};

// One tensor in memory, owning its bytes (what a reply decodes to).
struct BinaryTensorPacket {
    std::vector<std::int64_t> shape;
    TensorDtype dtype = TensorDtype::Float32;
    std::vector<std::uint8_t> data;

    TensorView view() const { return {shape, dtype, data}; }
};

struct NamedTensor {
    std::string_view name;
    TensorView tensor;
};

// The engine-API metadata: thirteen optional fields. `api_token` is the one field that is left
// out entirely (no tag byte) when absent; the others cost a tag byte 0.
struct RequestMetadata {
    std::optional<std::string> opt_text_1;
    std::optional<std::uint64_t> opt_u64_1;
    std::optional<std::uint8_t> opt_u8;
    std::optional<bool> opt_flag;
    std::optional<std::string> opt_text_2;
    std::optional<std::string> api_token;
    std::optional<std::int32_t> opt_i32_1;
    std::optional<float> opt_f32_1;
    std::optional<float> opt_f32_2;
    std::optional<std::int32_t> opt_i32_2;
    std::optional<float> opt_f32_3;
    std::optional<std::uint64_t> opt_u64_2;
    std::optional<std::vector<std::uint32_t>> opt_u32_list;
};

struct InferenceRequest {
    TensorView input;
    std::span<const NamedTensor> additional_inputs;
    std::optional<std::string_view> session_id;
    std::optional<RequestMetadata> metadata;
};

// Bytes of one tensor in payload form: 8 + 8*dims + 8 + name + 1 + 8 + data + 1.
std::uint64_t tensor_payload_size(const TensorView& tensor);
std::uint64_t metadata_encoded_size(const RequestMetadata& metadata);

// The exact number of bytes `encode` writes.
std::uint64_t encoded_size(const InferenceRequest& request);

// One allocation of exactly encoded_size bytes. The only failure is running out of memory:
// "memory allocation of N bytes failed".
Result<ByteBuffer, std::string> encode(const InferenceRequest& request);

}  // namespace zelto::engine_api
