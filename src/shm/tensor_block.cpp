#include "shm/tensor_block.hpp"

#include <cstring>

#include "common/little_endian.hpp"
#include "common/utf8.hpp"
#include "shm/bulk_copy.hpp"
#include "shm/region_layout.hpp"

namespace zelto::shm {

using engine_api::TensorDtype;

std::string too_many_dims_text(std::size_t ndim) {
    return "shape has " + std::to_string(ndim) + " dimensions; at most " +
           std::to_string(ShmTensorBlock::kMaxDims) + " fit a shared-memory tensor block";
}

std::string invalid_response_text(const std::string& problem) {
    return "Invalid response from engine: " + problem;
}

std::uint8_t dtype_code(TensorDtype dtype) {
    switch (dtype) {
        case TensorDtype::Float64:
            return 1;
        case TensorDtype::Int32:
            return 2;
        case TensorDtype::Int64:
            return 3;
        // float16, uint8 and string have no code of their own in the region.
        case TensorDtype::Float32:
        case TensorDtype::Float16:
        case TensorDtype::Uint8:
        case TensorDtype::String:
            return 0;
    }
    return 0;
}

void write_tensor_block(std::uint8_t* block, const std::int64_t* dims, std::size_t ndim,
                        TensorDtype dtype, const std::uint8_t* data, std::size_t size) {
    std::uint8_t header[ShmTensorBlock::kHeaderSize] = {};
    store_le<std::uint32_t>(header + ShmTensorBlock::kNdimOffset, static_cast<std::uint32_t>(ndim));
    header[ShmTensorBlock::kDtypeOffset] = dtype_code(dtype);
    for (std::size_t i = 0; i < ndim && i < ShmTensorBlock::kMaxDims; ++i) {
        store_le<std::int64_t>(header + ShmTensorBlock::kDimsOffset + 8 * i, dims[i]);
    }
    store_le<std::uint64_t>(header + ShmTensorBlock::kDataLenOffset, size);
    // The header is built aside and copied whole, so the slot is written front to back once.
    std::memcpy(block, header, sizeof header);
    copy_for_other_process(block + ShmTensorBlock::kHeaderSize, data, size);
}

Result<BlockData, std::string> locate_block_data(std::uint64_t region_size, std::uint64_t offset,
                                                 const std::uint8_t* base) {
    if (!span_fits(region_size, offset, ShmTensorBlock::kHeaderSize)) {
        return unexpected("result tensor block at offset " + std::to_string(offset) +
                          " does not fit in the " + std::to_string(region_size) + "-byte region");
    }
    const auto data_len = load_le<std::uint64_t>(base + offset + ShmTensorBlock::kDataLenOffset);
    const std::uint64_t data_offset = offset + ShmTensorBlock::kHeaderSize;
    if (!span_fits(region_size, data_offset, data_len)) {
        return unexpected("result tensor block at offset " + std::to_string(offset) + " claims " +
                          std::to_string(data_len) + " data bytes, more than the " +
                          std::to_string(region_size) + "-byte region holds");
    }
    return BlockData{data_offset, data_len};
}

Result<TextSpan, std::string> locate_error_text(const std::uint8_t* base, std::uint64_t region_size,
                                                std::uint64_t offset) {
    if (!span_fits(region_size, offset, 8)) {
        return unexpected("engine error text at offset " + std::to_string(offset) +
                          " does not fit in the " + std::to_string(region_size) + "-byte region");
    }
    const auto length = load_le<std::uint64_t>(base + offset);
    if (!span_fits(region_size, offset + 8, length)) {
        return unexpected("engine error text at offset " + std::to_string(offset) + " claims " +
                          std::to_string(length) + " bytes, more than the " +
                          std::to_string(region_size) + "-byte region holds");
    }
    return TextSpan{offset + 8, length};
}

std::string error_text_from_bytes(const std::uint8_t* bytes, std::size_t size) {
    return utf8_lossy(bytes, size);
}

}  // namespace zelto::shm
