// The fixed 24-byte transport RequestMetadata embedded at the start of the shared-memory
// request entry and of the hybrid request record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelto::transport {

struct RequestMetadata {
    static constexpr std::size_t kEncodedSize = 24;

    std::uint64_t request_id = 0;
    std::uint32_t aux_u32 = 0;
    std::uint8_t aux_u8_1 = 0;
    std::uint8_t aux_u8_2 = 0;
    std::uint8_t aux_u8_3 = 0;  // always 0
    std::uint8_t aux_u8_4 = 0;  // always 0
    std::uint64_t timestamp_ns = 0;

    // Stamps the record with the wall clock (seconds * 1e9 + nanoseconds, in 64 bits).
    static RequestMetadata create(std::uint64_t request_id, std::uint32_t aux_u32,
                                  std::uint8_t aux_u8_1, std::uint8_t aux_u8_2);

    // Writes the 24 little-endian bytes, field by field.
    void encode(std::uint8_t* out) const;
};

// Nanoseconds since the Unix epoch by the wall clock; 0 if the clock reads before the epoch.
std::uint64_t wall_clock_ns();

}  // namespace zelto::transport
