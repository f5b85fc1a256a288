// Endpoint resolution from arbitrary constructor arguments.
//
// Input layout, chosen so that seeds can be written by hand: byte 0 says which arguments are
// given (bit 0 endpoint, 1 protocol, 2 host, 3 socket_path, 4 pipe_name, 5 port); if bit 5 is set
// the next two bytes are the port, little-endian; the rest is the text arguments in that order,
// separated by 0xFF (a byte that never occurs in UTF-8, and text from Python is always UTF-8).
//
// Properties, for any arguments:
//   - trimming removes only canonically encoded White_Space from either end, leaves none there,
//     and trimming again changes nothing;
//   - a resolved target is non-empty, comes from the arguments (or the defaults), and parsing
//     its own URL gives it back;
//   - a failure is a Config error with one of the fixed texts; without `protocol` only an empty
//     scheme or a lone pipe_name can fail.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sdk/socket/endpoint.hpp"
#include "support/fuzz_check.hpp"

namespace {

using zelto::sdk::ClientError;
using zelto::sdk::ConnectionTarget;
using zelto::sdk::EndpointArgs;
using zelto::sdk::trim_white_space;

// The 25 White_Space code points in their only valid UTF-8 spelling.
constexpr std::array<std::string_view, 25> kWhiteSpaceUtf8 = {
    "\x09",         "\x0A",         "\x0B",         "\x0C",         "\x0D",
    "\x20",         "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

// True when `text` is a concatenation of White_Space spellings.
bool only_white_space(std::string_view text) {
    while (!text.empty()) {
        bool matched = false;
        for (auto space : kWhiteSpaceUtf8) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                matched = true;
                break;
            }
        }
        if (!matched) return false;
    }
    return true;
}

bool starts_or_ends_with_white_space(std::string_view text) {
    for (auto space : kWhiteSpaceUtf8) {
        if (text.starts_with(space) || text.ends_with(space)) return true;
    }
    return false;
}

std::string hex(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

void check_trim(std::string_view text) {
    const std::string_view trimmed = trim_white_space(text);
    FUZZ_CHECK(trimmed.data() >= text.data() &&
                   trimmed.data() + trimmed.size() <= text.data() + text.size(),
               "trim result is not inside its argument");
    const std::size_t front = static_cast<std::size_t>(trimmed.data() - text.data());
    const std::string_view removed_front = text.substr(0, front);
    const std::string_view removed_back = text.substr(front + trimmed.size());
    FUZZ_CHECK(only_white_space(removed_front) && only_white_space(removed_back),
               "trim removed more than white space from " + hex(text));
    FUZZ_CHECK(!starts_or_ends_with_white_space(trimmed), "trim left white space in " + hex(text));
    FUZZ_CHECK(trim_white_space(trimmed) == trimmed, "trim is not idempotent on " + hex(text));
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return out;
}

bool is_fixed_config_text(const std::string& m) {
    static constexpr std::string_view kTexts[] = {
        "protocol='tcp' cannot be combined with socket_path or pipe_name",
        "When endpoint is provided, do not also pass host/port",
        "tcp:// endpoint must include host:port",
        "protocol='tcp' expects endpoint as host:port or tcp://host:port",
        "protocol='socket' cannot be combined with host/port/pipe_name",
        "protocol='pipe' cannot be combined with host/port/socket_path",
        "protocol='pipe' is only supported on Windows",
        "pipe_name is only supported on Windows",
        "unix:// endpoint must include a socket path",
        "Endpoint cannot be empty",
    };
    for (auto text : kTexts) {
        if (m == text) return true;
    }
    return false;
}

std::string_view given(const std::optional<std::string>& value) {
    return value ? trim_white_space(*value) : std::string_view();
}

bool is_suffix_of_given(const std::string& address, std::string_view text) {
    return !text.empty() && text.ends_with(address);
}

void check_target(const EndpointArgs& args, const ConnectionTarget& target) {
    FUZZ_CHECK(!target.address.empty(), "empty address");
    const auto from_text = is_suffix_of_given(target.address, given(args.endpoint)) ||
                           is_suffix_of_given(target.address, given(args.socket_path));
    if (target.is_unix()) {
        FUZZ_CHECK(from_text || target.address == zelto::sdk::kDefaultSocketPath,
                   "socket path not taken from the arguments: " + hex(target.address));
        FUZZ_CHECK(target.protocol() == "socket", "protocol of a Unix target");
    } else {
        const std::string_view host = given(args.host);
        const std::string built = std::string(host.empty() ? zelto::sdk::kDefaultTcpHost : host) +
                                  ":" +
                                  std::to_string(args.port.value_or(zelto::sdk::kDefaultTcpPort));
        FUZZ_CHECK(from_text || target.address == built,
                   "tcp address not taken from the arguments: " + hex(target.address));
        FUZZ_CHECK(target.protocol() == "tcp", "protocol of a Tcp target");
    }
    auto reparsed = zelto::sdk::parse_endpoint(target.url());
    FUZZ_CHECK(reparsed && *reparsed == target,
               "url does not parse back to its target: " + hex(target.url()));
}

void check_failure(const EndpointArgs& args, const ClientError& error) {
    FUZZ_CHECK(error.kind == ClientError::Kind::Config,
               "resolution failed with a non-Config error");
    const std::string_view protocol = given(args.protocol);
    if (protocol.empty()) {
        FUZZ_CHECK(error.message == "tcp:// endpoint must include host:port" ||
                       error.message == "unix:// endpoint must include a socket path" ||
                       error.message == "pipe_name is only supported on Windows",
                   "without a protocol, arguments never conflict: " + error.message);
        return;
    }
    const std::string unsupported =
        "Unsupported protocol '" + ascii_lower(protocol) + "'. Use one of: socket, tcp, pipe";
    FUZZ_CHECK(is_fixed_config_text(error.message) || error.message == unsupported,
               "unexpected text: " + hex(error.message));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t given_mask = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

    EndpointArgs args;
    if (given_mask & 0x20) {
        if (rest.size() < 2) return 0;
        args.port = static_cast<std::uint16_t>(static_cast<unsigned char>(rest[0]) |
                                               (static_cast<unsigned char>(rest[1]) << 8));
        rest.remove_prefix(2);
    }
    std::optional<std::string>* texts[] = {&args.endpoint, &args.protocol, &args.host,
                                           &args.socket_path, &args.pipe_name};
    for (int i = 0; i < 5; ++i) {
        const std::size_t end = rest.find('\xFF');
        const std::string_view field = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (given_mask & (1u << i)) *texts[i] = std::string(field);
        check_trim(field);
    }

    auto resolved = zelto::sdk::resolve_endpoint(args);
    if (resolved) {
        check_target(args, *resolved);
    } else {
        check_failure(args, resolved.error());
    }

    // The generic parser alone, on the raw endpoint text.
    if (args.endpoint) {
        auto parsed = zelto::sdk::parse_endpoint(*args.endpoint);
        if (parsed) {
            FUZZ_CHECK(zelto::sdk::parse_endpoint(parsed->url()).has_value(), "parse of url");
        } else {
            FUZZ_CHECK(parsed.error().message == "Endpoint cannot be empty" ||
                           parsed.error().message == "tcp:// endpoint must include host:port" ||
                           parsed.error().message == "unix:// endpoint must include a socket path",
                       "parse_endpoint text: " + parsed.error().message);
        }
    }
    return 0;
}
