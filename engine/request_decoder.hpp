// Decoding an encoded InferenceRequest into owned records: the receiving side of `encode`, used by
// the mock engine to serve requests and by tests to read back what the client wrote.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "engine_api/inference_request.hpp"
#include "engine_api/record_reader.hpp"
#include "engine_api/tensor_packet.hpp"

namespace zelto::engine {

struct DecodedNamedTensor {
    std::string name;
    engine_api::BinaryTensorPacket tensor;
};

template <class Input>
struct BasicDecodedRequest {
    Input input;
    std::vector<DecodedNamedTensor> additional_inputs;
    std::optional<std::string> session_id;
    std::optional<engine_api::RequestMetadata> metadata;
};
using DecodedRequest = BasicDecodedRequest<engine_api::BinaryTensorPacket>;
// The main input seen in place: its shape and data point into the decoded bytes (base64 text
// excepted), which must outlive it. What an engine that only passes the input on needs.
using DecodedRequestView = BasicDecodedRequest<engine_api::TensorPacketView>;

// The whole record must be consumed. Because an absent `api_token` leaves no tag byte behind,
// the metadata is read both ways (token present and absent) and the reading that ends exactly at
// the end of the record wins, token first.
Result<DecodedRequest, engine_api::DecodeError> decode_inference_request(
    std::span<const std::uint8_t> bytes);

// The same checks and failure texts; the main input is not copied.
Result<DecodedRequestView, engine_api::DecodeError> decode_inference_request_view(
    std::span<const std::uint8_t> bytes);

}  // namespace zelto::engine
