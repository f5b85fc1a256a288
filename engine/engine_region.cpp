// Placeholder until the shared-memory mode lands.
#include "engine_region.hpp"

namespace zelto::engine {

std::unique_ptr<EngineRegion> EngineRegion::create(const EngineOptions&, std::string& error) {
    error = "shared-memory mode is not available in this build";
    return nullptr;
}

}  // namespace zelto::engine
