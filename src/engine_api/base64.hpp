// Strict base64 (standard alphabet, canonical "=" padding, zero trailing bits). Tensor data may
// arrive as base64 text; anything that is not the one canonical spelling is refused.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace zelto::engine_api {

// Failure texts, checked in this order: "Invalid symbol {byte}, offset {index}.",
// "Invalid input length: {n}", "Invalid padding", "Invalid last symbol {byte}, offset {index}.".
Result<std::vector<std::uint8_t>, std::string> base64_decode(std::string_view text);

// Canonical padded encoding (the mock engine sends it; tests build inputs with it).
std::string base64_encode(std::span<const std::uint8_t> bytes);

}  // namespace zelto::engine_api
