// Placeholder until the hybrid protocol lands.
#include "hybrid_handler.hpp"

namespace zelto::engine {

HybridReply handle_hybrid_request(const EngineOptions&, EngineRegion*, const std::uint8_t*,
                                  std::size_t) {
    return {1, "hybrid requests are not supported by this engine", false, 0};
}

}  // namespace zelto::engine
