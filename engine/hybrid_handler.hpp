// Op 4 of the socket protocol: a 40-byte hybrid request naming a tensor block in the region.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine_options.hpp"
#include "engine_region.hpp"

namespace zelto::engine {

struct HybridReply {
    std::uint32_t status = 0;
    std::string body;          // reply body bytes (a HybridResponse on success, else text)
    bool close_after = false;  // close the connection after writing `body` (tests)
    std::size_t write_limit =
        0;  // when non-zero, write only this many bytes of the frame, then close
};

// The options handle_hybrid_request reads.
std::span<const OptionSpec> hybrid_options();

HybridReply handle_hybrid_request(const EngineOptions& options, EngineRegion* region,
                                  const std::uint8_t* payload, std::size_t payload_len);

}  // namespace zelto::engine
