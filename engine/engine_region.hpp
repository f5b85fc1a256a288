// The shared-memory region the mock engine creates and owns: header, request and response rings,
// the clients' tensor pool, and an engine-owned result area behind the pool (so results never
// collide with slots a client may be using). Unlinked when the engine exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/result.hpp"
#include "engine_options.hpp"

namespace zelto::engine {

// The options EngineRegion::create reads.
std::span<const OptionSpec> region_options();

class EngineRegion {
  public:
    // Keys read: --shm NAME, --pool-size BYTES, --notify-fd N (an eventfd inherited from the
    // launcher; announced in the header), --region-* test knobs documented in engine_region.cpp.
    // On failure, what could not be done to which object.
    static Result<std::unique_ptr<EngineRegion>, std::string> create(const EngineOptions& options);
    virtual ~EngineRegion() = default;

    virtual std::uint8_t* base() const = 0;
    virtual std::uint64_t size() const = 0;
    virtual int notify_fd() const = 0;  // -1 when there is none

    // Engine-owned space for the result of the request whose block starts at `request_offset`:
    // `block_size` bytes (80-byte header + data, or an error text); returns its offset from the
    // region start, or 0 when it does not fit. A request from the pool is answered at the same
    // position in the result area (its mirror): a client keeps its slot until it has read the
    // answer, so the mirror is not reused meanwhile, and a client that keeps using the same slots
    // touches the same result pages instead of sweeping the whole area. Requests that name no
    // pool position with room behind its mirror get space round robin.
    virtual std::uint64_t result_block(std::uint64_t request_offset, std::uint64_t block_size) = 0;
};

}  // namespace zelto::engine
