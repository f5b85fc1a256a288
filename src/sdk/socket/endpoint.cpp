#include "sdk/socket/endpoint.hpp"

#include <array>

namespace zelto::sdk {
namespace {

constexpr std::string_view kTcpPrefix = "tcp://";
constexpr std::string_view kUnixPrefix = "unix://";

// The Unicode White_Space property: users paste endpoints from documents and terminals, which
// bring no-break and ideographic spaces as well as ASCII blanks.
constexpr std::array<char32_t, 25> kWhiteSpace = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

bool is_white_space(char32_t c) {
    for (char32_t w : kWhiteSpace) {
        if (w == c) return true;
    }
    return false;
}

struct Decoded {
    char32_t code_point;
    std::size_t width;  // 0 when the bytes do not start a well-formed sequence
};

// Decodes the sequence at the start of `bytes`. Only the shape of the sequence matters here:
// every White_Space code point has a short, canonical encoding, so anything malformed is
// simply "not white space".
Decoded decode_first(std::string_view bytes) {
    if (bytes.empty()) return {0, 0};
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    std::size_t width = 0;
    char32_t code_point = 0;
    if (lead < 0x80) return {lead, 1};
    if ((lead & 0xE0) == 0xC0) {
        width = 2;
        code_point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        width = 3;
        code_point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        width = 4;
        code_point = lead & 0x07;
    } else {
        return {0, 0};
    }
    if (bytes.size() < width) return {0, 0};
    for (std::size_t i = 1; i < width; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return {0, 0};
        code_point = (code_point << 6) | (byte(i) & 0x3F);
    }
    // An overlong spelling (C0 A0 for a blank) is malformed, not white space: only the shortest
    // form of a code point is UTF-8.
    constexpr char32_t kShortestForWidth[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < kShortestForWidth[width]) return {0, 0};
    return {code_point, width};
}

std::string ascii_lower(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

// The trimmed argument; empty when it was absent or only white space, which both count as
// "not given".
std::string_view given(const std::optional<std::string>& value) {
    return value ? trim_white_space(*value) : std::string_view();
}

Unexpected<ClientError> config_error(std::string message) {
    return unexpected(ClientError::config(std::move(message)));
}

std::string tcp_address(std::string_view host, std::optional<std::uint16_t> port) {
    std::string address(host.empty() ? kDefaultTcpHost : host);
    address += ':';
    address += std::to_string(port.value_or(kDefaultTcpPort));
    return address;
}

// The arguments after trimming; an empty text is an argument that was not given. A port is
// given whenever it is present, 0 included.
struct Given {
    std::string_view endpoint;
    std::string_view host;
    std::optional<std::uint16_t> port;
    std::string_view socket_path;
    std::string_view pipe_name;
};

Result<ConnectionTarget, ClientError> tcp_rules(const Given& g) {
    if (!g.socket_path.empty() || !g.pipe_name.empty()) {
        return config_error("protocol='tcp' cannot be combined with socket_path or pipe_name");
    }
    if (g.endpoint.empty()) return ConnectionTarget::tcp(tcp_address(g.host, g.port));
    if (g.port || !g.host.empty()) {
        return config_error("When endpoint is provided, do not also pass host/port");
    }
    const std::string_view endpoint = g.endpoint;
    if (endpoint.starts_with(kTcpPrefix)) {
        const std::string_view rest = endpoint.substr(kTcpPrefix.size());
        if (rest.empty()) return config_error("tcp:// endpoint must include host:port");
        return ConnectionTarget::tcp(std::string(rest));
    }
    if (endpoint.find("://") != std::string_view::npos) {
        return config_error("protocol='tcp' expects endpoint as host:port or tcp://host:port");
    }
    return ConnectionTarget::tcp(std::string(endpoint));
}

Result<ConnectionTarget, ClientError> socket_rules(const Given& g) {
    if (!g.host.empty() || g.port || !g.pipe_name.empty()) {
        return config_error("protocol='socket' cannot be combined with host/port/pipe_name");
    }
    if (!g.socket_path.empty()) return parse_endpoint(g.socket_path);
    if (!g.endpoint.empty()) return parse_endpoint(g.endpoint);
    return default_local();
}

Result<ConnectionTarget, ClientError> pipe_rules(const Given& g) {
    if (g.port || !g.host.empty() || !g.socket_path.empty()) {
        return config_error("protocol='pipe' cannot be combined with host/port/socket_path");
    }
    return config_error("protocol='pipe' is only supported on Windows");
}

Result<ConnectionTarget, ClientError> without_protocol(const Given& g) {
    if (!g.endpoint.empty()) return parse_endpoint(g.endpoint);
    if (!g.host.empty()) return ConnectionTarget::tcp(tcp_address(g.host, g.port));
    if (g.port) return ConnectionTarget::tcp(tcp_address({}, g.port));
    if (!g.socket_path.empty()) return parse_endpoint(g.socket_path);
    if (!g.pipe_name.empty()) return config_error("pipe_name is only supported on Windows");
    return default_local();
}

}  // namespace

std::string ConnectionTarget::url() const {
    return std::string(is_tcp() ? kTcpPrefix : kUnixPrefix) + address;
}

std::string_view ConnectionTarget::protocol() const {
    return is_tcp() ? "tcp" : "socket";
}

ConnectionTarget default_local() {
    return ConnectionTarget::unix_socket(std::string(kDefaultSocketPath));
}

std::string_view trim_white_space(std::string_view text) {
    while (!text.empty()) {
        const Decoded first = decode_first(text);
        if (first.width == 0 || !is_white_space(first.code_point)) break;
        text.remove_prefix(first.width);
    }
    while (!text.empty()) {
        // Step back to the lead byte of the last sequence (at most three continuation bytes).
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const Decoded last = decode_first(text.substr(start));
        if (last.width != text.size() - start || !is_white_space(last.code_point)) break;
        text.remove_suffix(last.width);
    }
    return text;
}

Result<ConnectionTarget, ClientError> parse_endpoint(std::string_view text) {
    text = trim_white_space(text);
    if (text.empty()) return config_error("Endpoint cannot be empty");
    if (text.starts_with(kTcpPrefix)) {
        const std::string_view rest = text.substr(kTcpPrefix.size());
        if (rest.empty()) return config_error("tcp:// endpoint must include host:port");
        return ConnectionTarget::tcp(std::string(rest));
    }
    if (text.starts_with(kUnixPrefix)) {
        const std::string_view rest = text.substr(kUnixPrefix.size());
        if (rest.empty()) return config_error("unix:// endpoint must include a socket path");
        return ConnectionTarget::unix_socket(std::string(rest));
    }
    return ConnectionTarget::unix_socket(std::string(text));
}

Result<ConnectionTarget, ClientError> resolve_endpoint(const EndpointArgs& args) {
    const Given g{given(args.endpoint), given(args.host), args.port, given(args.socket_path),
                  given(args.pipe_name)};
    const std::string_view protocol = given(args.protocol);
    if (protocol.empty()) return without_protocol(g);

    const std::string lowered = ascii_lower(protocol);
    if (lowered == "tcp") return tcp_rules(g);
    if (lowered == "unix" || lowered == "local" || lowered == "socket") return socket_rules(g);
    if (lowered == "pipe" || lowered == "named_pipe" || lowered == "named-pipe")
        return pipe_rules(g);
    return config_error("Unsupported protocol '" + lowered + "'. Use one of: socket, tcp, pipe");
}

}  // namespace zelto::sdk
