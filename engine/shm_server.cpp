// Placeholder until the shared-memory mode lands.
#include "shm_server.hpp"

namespace zelto::engine {

void run_shm_server(const EngineOptions&, EngineRegion&, const std::atomic<bool>&) {}

}  // namespace zelto::engine
