#include "engine_api/tensor_dtype.hpp"

#include <array>
#include <optional>
#include <utility>

#include "engine_api/unicode_lower.hpp"

namespace zelto::engine_api {
namespace {

constexpr std::array<std::pair<std::string_view, TensorDtype>, 14> kAcceptedForms{{
    {"float32", TensorDtype::Float32},
    {"fp32", TensorDtype::Float32},
    {"float64", TensorDtype::Float64},
    {"fp64", TensorDtype::Float64},
    {"float16", TensorDtype::Float16},
    {"fp16", TensorDtype::Float16},
    {"int32", TensorDtype::Int32},
    {"i32", TensorDtype::Int32},
    {"int64", TensorDtype::Int64},
    {"i64", TensorDtype::Int64},
    {"uint8", TensorDtype::Uint8},
    {"u8", TensorDtype::Uint8},
    {"string", TensorDtype::String},
    {"utf8", TensorDtype::String},
}};

// Every accepted form is short ASCII, and for ASCII text the full Unicode lower-casing is exactly
// A-Z -> a-z. So the common case is decided without allocating; anything else (non-ASCII text,
// which may still lower-case to an accepted form, e.g. a Kelvin sign, or an unknown name, whose
// error shows the lower-cased text) takes the full path.
std::optional<TensorDtype> parse_ascii_dtype(std::string_view text) {
    constexpr std::size_t kLongestForm = 7;  // "float32"
    if (text.size() > kLongestForm) return std::nullopt;
    char lowered[kLongestForm] = {};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) return std::nullopt;
        lowered[i] = static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte);
    }
    const std::string_view candidate(lowered, text.size());
    for (const auto& [form, dtype] : kAcceptedForms) {
        if (candidate == form) return dtype;
    }
    return std::nullopt;
}

}  // namespace

Result<TensorDtype, EngineError> parse_dtype(std::string_view text) {
    if (const auto dtype = parse_ascii_dtype(text)) return *dtype;
    std::string lowered = unicode_lower(text);
    for (const auto& [form, dtype] : kAcceptedForms) {
        if (lowered == form) return dtype;
    }
    return unexpected(EngineError::invalid_input("Unsupported dtype: " + std::move(lowered)));
}

std::string_view dtype_name(TensorDtype dtype) {
    switch (dtype) {
        case TensorDtype::Float32:
            return "float32";
        case TensorDtype::Float64:
            return "float64";
        case TensorDtype::Float16:
            return "float16";
        case TensorDtype::Int32:
            return "int32";
        case TensorDtype::Int64:
            return "int64";
        case TensorDtype::Uint8:
            return "uint8";
        case TensorDtype::String:
            return "string";
    }
    return "float32";  // unreachable for a valid enumerator
}

}  // namespace zelto::engine_api
