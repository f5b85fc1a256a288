// Placeholder until the socket protocol lands.
#include "socket_server.hpp"

#include <cstdio>

namespace zelto::engine {

int run_socket_server(const EngineOptions&, EngineRegion*, const std::atomic<bool>&) {
    std::fprintf(stderr, "zelto-mock-engine: socket mode is not available in this build\n");
    return 1;
}

}  // namespace zelto::engine
