// What a ZeltoClient fixes at construction and never changes: its resolved target, its
// optional API token and its pool limit. The socket client core builds its pool from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sdk/socket/endpoint.hpp"

namespace zelto::sdk {

struct ClientConfig {
    static constexpr std::uint64_t kDefaultMaxPoolSize = 8;

    ConnectionTarget target;
    // Kept exactly as passed: not trimmed, and an empty token is present (it is still sent).
    std::optional<std::string> api_token;
    // No range check: 0 disables pooling.
    std::uint64_t max_pool_size = kDefaultMaxPoolSize;
};

}  // namespace zelto::sdk
