#include "shm/region_layout.hpp"

#include "common/little_endian.hpp"
#include "shm/ring_buffer.hpp"

namespace zelto::shm {
namespace {

std::optional<std::string> check_ring(const char* which, std::uint64_t offset, std::uint64_t span,
                                      std::uint64_t region_size) {
    if (!span_fits(region_size, offset, span)) {
        return std::string(which) + " ring at offset " + std::to_string(offset) + " (" +
               std::to_string(span) + " bytes) does not fit in the " + std::to_string(region_size) +
               "-byte region";
    }
    if (offset % 8 != 0) {
        return std::string(which) + " ring offset " + std::to_string(offset) +
               " is not a multiple of 8";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> check_region_layout(const ShmRegionHeader& header,
                                               std::uint64_t region_size) {
    if (region_size < ShmRegionHeader::kSize) {
        return "the " + std::to_string(region_size) + "-byte region is smaller than its " +
               std::to_string(ShmRegionHeader::kSize) + "-byte header";
    }
    if (auto problem =
            check_ring("request", header.request_ring_offset, RequestRing::kSpan, region_size)) {
        return problem;
    }
    if (auto problem =
            check_ring("response", header.response_ring_offset, ResponseRing::kSpan, region_size)) {
        return problem;
    }
    if (!span_fits(region_size, header.pool_offset, header.pool_size)) {
        return "tensor pool at offset " + std::to_string(header.pool_offset) + " (" +
               std::to_string(header.pool_size) + " bytes) does not fit in the " +
               std::to_string(region_size) + "-byte region";
    }
    return std::nullopt;
}

Result<ShmRegionHeader, ShmError> check_region(const std::uint8_t* region,
                                               std::uint64_t region_size) {
    using H = ShmRegionHeader;
    if (region_size < H::kMagicOffset + 4 ||
        load_le<std::uint32_t>(region + H::kMagicOffset) != H::kMagic) {
        return unexpected(ShmError::invalid_magic());
    }
    if (region_size < H::kVersionOffset + 4 ||
        load_le<std::uint32_t>(region + H::kVersionOffset) != H::kVersion) {
        return unexpected(ShmError::version_mismatch());
    }
    if (region_size < H::kSize) {
        return unexpected(ShmError::invalid_layout(*check_region_layout(H{}, region_size)));
    }
    const H header = H::read_from(region);
    if (auto problem = check_region_layout(header, region_size)) {
        return unexpected(ShmError::invalid_layout(*problem));
    }
    return header;
}

}  // namespace zelto::shm
