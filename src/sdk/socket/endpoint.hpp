// Where a ZeltoClient connects: one ConnectionTarget, resolved once from the constructor's
// arguments by pure text processing (no socket, no name lookup, no file access).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "sdk/socket/client_error.hpp"

namespace zelto::sdk {

struct ConnectionTarget {
    enum class Kind { Unix, Tcp };

    Kind kind = Kind::Unix;
    // Unix: the socket path exactly as resolved. Tcp: "<host>:<port>", not parsed here; the
    // connect step resolves it and reports what is wrong with it.
    std::string address;

    static ConnectionTarget unix_socket(std::string path) { return {Kind::Unix, std::move(path)}; }
    static ConnectionTarget tcp(std::string address) { return {Kind::Tcp, std::move(address)}; }

    bool is_unix() const { return kind == Kind::Unix; }
    bool is_tcp() const { return kind == Kind::Tcp; }

    // "unix://<path>" or "tcp://<address>".
    std::string url() const;
    // "socket" or "tcp".
    std::string_view protocol() const;

    bool operator==(const ConnectionTarget&) const = default;
};

inline constexpr std::string_view kDefaultSocketPath = "/tmp/zelto.sock";
inline constexpr std::string_view kDefaultTcpHost = "127.0.0.1";
inline constexpr std::uint16_t kDefaultTcpPort = 9096;

// Unix "/tmp/zelto.sock". Nothing else (environment, files) is consulted.
ConnectionTarget default_local();

// "tcp://<address>" -> Tcp, "unix://<path>" -> Unix (both prefixes case-sensitive), anything
// else is a Unix path as a whole. Config errors: "Endpoint cannot be empty",
// "tcp:// endpoint must include host:port", "unix:// endpoint must include a socket path".
Result<ConnectionTarget, ClientError> parse_endpoint(std::string_view text);

// The constructor's endpoint arguments after conversion from Python, before any trimming.
struct EndpointArgs {
    std::optional<std::string> endpoint{};
    std::optional<std::string> protocol{};
    std::optional<std::string> host{};
    std::optional<std::uint16_t> port{};
    std::optional<std::string> socket_path{};
    std::optional<std::string> pipe_name{};
};

// Resolves the arguments to one target; every failure is a Config error with a fixed text.
Result<ConnectionTarget, ClientError> resolve_endpoint(const EndpointArgs& args);

// `text` without leading and trailing Unicode White_Space (all 25 code points, not only
// ASCII). `text` is UTF-8; trimming stops at the first byte that does not start a valid
// sequence, so malformed input is never cut inside a sequence.
std::string_view trim_white_space(std::string_view text);

}  // namespace zelto::sdk
