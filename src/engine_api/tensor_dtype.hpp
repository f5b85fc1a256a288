// Element types of tensors, their canonical wire names and the parsing of user-given names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "engine_api/engine_error.hpp"

namespace zelto::engine_api {

enum class TensorDtype : std::uint8_t {
    Float32 = 0,
    Float64 = 1,
    Float16 = 2,
    Int32 = 3,
    Int64 = 4,
    Uint8 = 5,
    String = 6,
};

// Full Unicode lower-casing of `text`, nothing trimmed; then one of the fourteen accepted forms.
// Failure: EngineError InvalidInput "Unsupported dtype: <lower-cased text>".
Result<TensorDtype, EngineError> parse_dtype(std::string_view text);

// "float32", "float64", "float16", "int32", "int64", "uint8", "string".
std::string_view dtype_name(TensorDtype dtype);

}  // namespace zelto::engine_api
