// Serves the shared-memory protocol: consumes the request ring, answers on the response ring.
#pragma once

#include <atomic>
#include <span>

#include "engine_options.hpp"
#include "engine_region.hpp"

namespace zelto::engine {

// The options run_shm_server reads.
std::span<const OptionSpec> shm_server_options();

// Runs until `stop` becomes true. Idle, it spins briefly and then backs off.
void run_shm_server(const EngineOptions& options, EngineRegion& region,
                    const std::atomic<bool>& stop);

}  // namespace zelto::engine
