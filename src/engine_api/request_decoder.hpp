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

namespace zelto::engine_api {

struct DecodedNamedTensor {
    std::string name;
    BinaryTensorPacket tensor;
};

struct DecodedRequest {
    BinaryTensorPacket input;
    std::vector<DecodedNamedTensor> additional_inputs;
    std::optional<std::string> session_id;
    std::optional<RequestMetadata> metadata;
};

// The whole record must be consumed. Because an absent `api_token` leaves no tag byte behind,
// the metadata is read both ways (token present and absent) and the reading that ends exactly at
// the end of the record wins, token first.
Result<DecodedRequest, DecodeError> decode_inference_request(std::span<const std::uint8_t> bytes);

}  // namespace zelto::engine_api
