// Decoding a BinaryTensorPacketPayload (shape, dtype, data?, data_base64?) into an owned
// BinaryTensorPacket: the body of a successful reply and of every stream data frame.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "engine_api/inference_request.hpp"
#include "engine_api/record_reader.hpp"

namespace zelto::engine_api {

// The wire form of a tensor as read, before the two data forms are reconciled.
struct BinaryTensorPacketPayload {
    std::vector<std::int64_t> shape;
    TensorDtype dtype = TensorDtype::Float32;
    std::optional<std::vector<std::uint8_t>> data;
    std::optional<std::string> data_base64;
};

// The four fields in order; the dtype text is parsed as soon as it is read.
Result<BinaryTensorPacketPayload, DecodeError> read_tensor_payload(RecordReader& reader);

// Exactly one of `data` and `data_base64` must be present; base64 text is decoded strictly.
Result<BinaryTensorPacket, DecodeError> into_packet(BinaryTensorPacketPayload payload);

// Reads one payload at the reader's position; the first failure ends decoding and nothing
// partial is returned. Exactly one of `data` and `data_base64` must be present; base64 text is
// decoded strictly.
Result<BinaryTensorPacket, DecodeError> read_tensor_packet(RecordReader& reader);

// A whole reply or frame body; bytes after the payload are ignored.
Result<BinaryTensorPacket, DecodeError> decode_tensor_packet(std::span<const std::uint8_t> bytes);

}  // namespace zelto::engine_api
