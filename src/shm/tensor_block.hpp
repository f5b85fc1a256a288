// Records laid into the region's pool: the tensor block (80-byte header + data) and the error
// text (u64 length + bytes). Every offset counts from the first byte of the mapping and is
// checked against the mapping before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "engine_api/tensor_dtype.hpp"

namespace zelto::shm {

struct ShmTensorBlock {
    static constexpr std::size_t kHeaderSize = 80;
    static constexpr std::size_t kMaxDims = 8;
    static constexpr std::size_t kNdimOffset = 0;
    static constexpr std::size_t kDtypeOffset = 4;
    static constexpr std::size_t kDimsOffset = 8;
    static constexpr std::size_t kDataLenOffset = 72;
};

// The refusals both shared-memory clients give, in the same words: "shape has N dimensions; at
// most 8 fit a shared-memory tensor block", and "Invalid response from engine: <problem>" for
// a result block or error text that the checks below refuse.
std::string too_many_dims_text(std::size_t ndim);
std::string invalid_response_text(const std::string& problem);

// float64 -> 1, int32 -> 2, int64 -> 3, every other type -> 0 (shared with float32).
std::uint8_t dtype_code(engine_api::TensorDtype dtype);

// Writes a whole block at `block` (caller guarantees 80 + size bytes of room and at most 8 dims).
void write_tensor_block(std::uint8_t* block, const std::int64_t* dims, std::size_t ndim,
                        engine_api::TensorDtype dtype, const std::uint8_t* data, std::size_t size);

// Where the data of the result block at `offset` lies, after checking that its header and its
// `data_len` bytes lie inside a mapping of `region_size` bytes; else what does not fit.
// The one read of the region (data_len) comes before any other work, so a caller may run this
// as a region access whose fault ends it (region_faults.hpp).
struct BlockData {
    std::uint64_t data_offset;
    std::uint64_t data_len;
};
Result<BlockData, std::string> locate_block_data(std::uint64_t region_size, std::uint64_t offset,
                                                 const std::uint8_t* base);

// Where the bytes of the error text at `offset` (u64 length + bytes) lie, bounds-checked; read
// like locate_block_data. The bytes are decoded with error_text_from_bytes once copied out.
struct TextSpan {
    std::uint64_t offset;
    std::uint64_t length;
};
Result<TextSpan, std::string> locate_error_text(const std::uint8_t* base, std::uint64_t region_size,
                                                std::uint64_t offset);

// The text of an engine error, decoded as UTF-8 with U+FFFD.
std::string error_text_from_bytes(const std::uint8_t* bytes, std::size_t size);

}  // namespace zelto::shm
