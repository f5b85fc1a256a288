// Whether a header's rings and pool fit the mapping. The header comes from the engine and is not
// trusted: every later access through these offsets relies on this check having passed.
//
// A region is accepted when it holds the whole 44-byte header, the request ring (40960 bytes) and
// the response ring (49152 bytes) each lie wholly inside the mapping at an 8-byte aligned offset
// (their counters are atomic 64-bit words, which need natural alignment), and the pool
// [pool_offset, pool_offset + pool_size) lies inside the mapping. Overlaps are not refused: they
// cannot make an access leave the mapping, and a region laid out as documented never has them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "shm/shm_manager.hpp"

namespace zelto::shm {

// Nothing when the layout fits; otherwise a sentence saying what does not fit.
std::optional<std::string> check_region_layout(const ShmRegionHeader& header,
                                               std::uint64_t region_size);

// Every check a client makes on attaching, in its order: magic number, version, then the layout.
// `region` holds `region_size` readable bytes; nothing is read past them, even when the page
// behind a tiny object happens to be mapped. Gives the header once it has passed.
Result<ShmRegionHeader, ShmError> check_region(const std::uint8_t* region,
                                               std::uint64_t region_size);

// True when [offset, offset + length) lies inside [0, region_size), without overflow.
inline bool span_fits(std::uint64_t region_size, std::uint64_t offset, std::uint64_t length) {
    return offset <= region_size && length <= region_size - offset;
}

}  // namespace zelto::shm
