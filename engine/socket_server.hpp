// Serves the framed socket protocol (op 1 unary, op 2 stream, op 4 hybrid) on a Unix path
// and/or a loopback TCP port.
#pragma once

#include <atomic>
#include <span>

#include "engine_options.hpp"
#include "engine_region.hpp"

namespace zelto::engine {

// Set to true once every requested listener accepts connections (main announces readiness).
extern std::atomic<bool> g_socket_listening;
// The TCP port listened on (the one the kernel picked for --tcp 0), 0 without --tcp.
extern std::atomic<int> g_tcp_port;

// The options run_socket_server reads.
std::span<const OptionSpec> socket_server_options();

// Keys read: --unix PATH, --tcp PORT and the behaviour knobs documented in socket_server.cpp.
// `region` is null when the engine runs without shared memory (op 4 then answers an error).
// Runs until `stop` becomes true; removes the socket file it created. Returns 0 on a clean exit.
int run_socket_server(const EngineOptions& options, EngineRegion* region,
                      const std::atomic<bool>& stop);

}  // namespace zelto::engine
