#include <gtest/gtest.h>

#include <string>

#include "sdk/socket/endpoint.hpp"

namespace zelto::sdk {
namespace {

ConnectionTarget resolved(const EndpointArgs& args) {
    auto target = resolve_endpoint(args);
    EXPECT_TRUE(target.has_value()) << (target ? "" : target.error().message);
    return target ? *target : ConnectionTarget{};
}

std::string config_error(const EndpointArgs& args) {
    auto target = resolve_endpoint(args);
    EXPECT_FALSE(target.has_value()) << "resolved to " << (target ? target->url() : "");
    if (target) return "";
    EXPECT_EQ(target.error().kind, ClientError::Kind::Config);
    return target.error().message;
}

TEST(Endpoint, DefaultIsTheLocalSocket) {
    const ConnectionTarget target = resolved({});
    EXPECT_EQ(target, ConnectionTarget::unix_socket("/tmp/zelto.sock"));
    EXPECT_EQ(target.url(), "unix:///tmp/zelto.sock");
    EXPECT_EQ(target.protocol(), "socket");
    EXPECT_EQ(default_local(), target);
}

TEST(Endpoint, ReportsTcpTargets) {
    const ConnectionTarget target = ConnectionTarget::tcp("h:1");
    EXPECT_EQ(target.url(), "tcp://h:1");
    EXPECT_EQ(target.protocol(), "tcp");
}

TEST(Endpoint, ParserHonoursOnlyExactPrefixes) {
    EXPECT_EQ(*parse_endpoint("tcp://localhost:9000"), ConnectionTarget::tcp("localhost:9000"));
    EXPECT_EQ(*parse_endpoint("unix:///run/e.sock"), ConnectionTarget::unix_socket("/run/e.sock"));
    EXPECT_EQ(*parse_endpoint("localhost:9000"), ConnectionTarget::unix_socket("localhost:9000"));
    EXPECT_EQ(*parse_endpoint("TCP://h:1"), ConnectionTarget::unix_socket("TCP://h:1"));
    EXPECT_EQ(*parse_endpoint("http://x"), ConnectionTarget::unix_socket("http://x"));
    // The rest after a prefix is neither trimmed nor checked.
    EXPECT_EQ(*parse_endpoint("tcp://example:notaport"), ConnectionTarget::tcp("example:notaport"));
    EXPECT_EQ(*parse_endpoint("tcp:// h:1"), ConnectionTarget::tcp(" h:1"));
}

TEST(Endpoint, ParserErrors) {
    EXPECT_EQ(parse_endpoint("").error().message, "Endpoint cannot be empty");
    EXPECT_EQ(parse_endpoint(" \t\u3000").error().message, "Endpoint cannot be empty");
    EXPECT_EQ(parse_endpoint("tcp://").error().message, "tcp:// endpoint must include host:port");
    EXPECT_EQ(parse_endpoint("unix://").error().message,
              "unix:// endpoint must include a socket path");
    EXPECT_EQ(parse_endpoint("tcp://").error().kind, ClientError::Kind::Config);
}

TEST(Endpoint, TrimsEveryUnicodeWhiteSpace) {
    const char32_t white_space[] = {
        0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
        0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
        0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
    };
    const auto utf8 = [](char32_t c) {
        std::string out;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        return out;
    };
    for (char32_t c : white_space) {
        const std::string ws = utf8(c);
        EXPECT_EQ(trim_white_space(ws + "a b" + ws + ws), "a b")
            << "U+" << std::hex << static_cast<unsigned>(c);
    }
    // Not White_Space: zero width space, byte order mark, and text that only looks blank.
    EXPECT_EQ(trim_white_space("\u200Bx\u200B"), "\u200Bx\u200B");
    EXPECT_EQ(trim_white_space("\uFEFFx"), "\uFEFFx");
    EXPECT_EQ(trim_white_space("\u00E9 "), "\u00E9");
    EXPECT_EQ(trim_white_space(" \U0001F600 "), "\U0001F600");
    // Malformed UTF-8 is left alone rather than cut inside a sequence.
    EXPECT_EQ(trim_white_space(std::string_view(" \xE3\x80")), std::string_view("\xE3\x80"));
    EXPECT_EQ(trim_white_space(std::string_view("\x80 ")), std::string_view("\x80"));
}

TEST(Endpoint, WithoutProtocolTheHighestRankedArgumentWins) {
    EXPECT_EQ(resolved({.port = 5000}).url(), "tcp://127.0.0.1:5000");
    EXPECT_EQ(resolved({.port = 0}).url(), "tcp://127.0.0.1:0");
    EXPECT_EQ(resolved({.host = "gpu1"}).url(), "tcp://gpu1:9096");
    EXPECT_EQ(resolved({.host = "gpu1", .port = 7}).url(), "tcp://gpu1:7");
    EXPECT_EQ(resolved({.endpoint = "localhost:9000"}),
              ConnectionTarget::unix_socket("localhost:9000"));
    EXPECT_EQ(resolved({.endpoint = "  unix:///run/e.sock  "}),
              ConnectionTarget::unix_socket("/run/e.sock"));
    EXPECT_EQ(resolved({.endpoint = "   "}), default_local());
    EXPECT_EQ(resolved({.endpoint = "tcp://a:1", .host = "b", .port = 2}).url(), "tcp://a:1");
    EXPECT_EQ(resolved({.endpoint = "/e", .socket_path = "/s"}).url(), "unix:///e");
    EXPECT_EQ(resolved({.socket_path = "tcp://h:1"}), ConnectionTarget::tcp("h:1"));
    EXPECT_EQ(resolved({.host = "h", .socket_path = "/s", .pipe_name = "p"}).url(), "tcp://h:9096");
    EXPECT_EQ(resolved({.socket_path = "/s", .pipe_name = "p"}).url(), "unix:///s");
    EXPECT_EQ(resolved({.host = " ", .socket_path = "\t/s\n"}).url(), "unix:///s");
    EXPECT_EQ(config_error({.pipe_name = "p"}), "pipe_name is only supported on Windows");
    EXPECT_EQ(config_error({.endpoint = "tcp://"}), "tcp:// endpoint must include host:port");
    EXPECT_EQ(config_error({.endpoint = "unix://"}), "unix:// endpoint must include a socket path");
}

TEST(Endpoint, ProtocolIsTrimmedAndLoweredAsciiOnly) {
    EXPECT_EQ(resolved({.protocol = " Tcp "}).url(), "tcp://127.0.0.1:9096");
    EXPECT_EQ(resolved({.protocol = "\u3000TCP\u00A0"}).url(), "tcp://127.0.0.1:9096");
    EXPECT_EQ(resolved({.protocol = "   "}), default_local());  // blank counts as not given
    EXPECT_EQ(config_error({.protocol = "udp"}),
              "Unsupported protocol 'udp'. Use one of: socket, tcp, pipe");
    EXPECT_EQ(config_error({.protocol = "UDP"}),
              "Unsupported protocol 'udp'. Use one of: socket, tcp, pipe");
    // Only A-Z are lowered: the Kelvin sign does not become 'k', and 'İ' stays as it is.
    EXPECT_EQ(config_error({.protocol = "\u212A"}),
              "Unsupported protocol '\u212A'. Use one of: socket, tcp, pipe");
    EXPECT_EQ(config_error({.protocol = "PİPE"}),
              "Unsupported protocol 'pİpe'. Use one of: socket, tcp, pipe");
}

TEST(Endpoint, TcpRules) {
    EXPECT_EQ(resolved({.protocol = "tcp", .host = "h", .port = 1}).url(), "tcp://h:1");
    EXPECT_EQ(resolved({.protocol = "tcp", .port = 0}).url(), "tcp://127.0.0.1:0");
    EXPECT_EQ(resolved({.endpoint = "a:1", .protocol = "tcp"}).url(), "tcp://a:1");
    EXPECT_EQ(resolved({.endpoint = "tcp://a:1", .protocol = "TCP"}).url(), "tcp://a:1");
    EXPECT_EQ(resolved({.endpoint = "/not/a/path", .protocol = "tcp"}).url(), "tcp:///not/a/path");
    EXPECT_EQ(config_error({.protocol = "tcp", .socket_path = "/s"}),
              "protocol='tcp' cannot be combined with socket_path or pipe_name");
    EXPECT_EQ(config_error({.endpoint = "a:1", .protocol = "tcp", .pipe_name = "p"}),
              "protocol='tcp' cannot be combined with socket_path or pipe_name");
    EXPECT_EQ(config_error({.endpoint = "a:1", .protocol = "tcp", .port = 2}),
              "When endpoint is provided, do not also pass host/port");
    EXPECT_EQ(config_error({.endpoint = "a:1", .protocol = "tcp", .host = "h"}),
              "When endpoint is provided, do not also pass host/port");
    EXPECT_EQ(config_error({.endpoint = "tcp://", .protocol = "tcp"}),
              "tcp:// endpoint must include host:port");
    EXPECT_EQ(config_error({.endpoint = "unix:///x", .protocol = "TCP"}),
              "protocol='tcp' expects endpoint as host:port or tcp://host:port");
    EXPECT_EQ(config_error({.endpoint = "a://b", .protocol = "tcp"}),
              "protocol='tcp' expects endpoint as host:port or tcp://host:port");
}

TEST(Endpoint, SocketRules) {
    for (const char* protocol : {"unix", "local", "socket", "SOCKET", " Local "}) {
        EXPECT_EQ(resolved({.protocol = protocol}), default_local()) << protocol;
        EXPECT_EQ(config_error({.protocol = protocol, .port = 1}),
                  "protocol='socket' cannot be combined with host/port/pipe_name")
            << protocol;
    }
    EXPECT_EQ(resolved({.endpoint = "/e", .protocol = "unix", .socket_path = "/s"}).url(),
              "unix:///s");
    EXPECT_EQ(resolved({.endpoint = "/e", .protocol = "unix"}).url(), "unix:///e");
    EXPECT_EQ(resolved({.endpoint = "tcp://h:1", .protocol = "socket"}),
              ConnectionTarget::tcp("h:1"));
    EXPECT_EQ(config_error({.protocol = "socket", .host = "h"}),
              "protocol='socket' cannot be combined with host/port/pipe_name");
    EXPECT_EQ(config_error({.protocol = "socket", .pipe_name = "p"}),
              "protocol='socket' cannot be combined with host/port/pipe_name");
    EXPECT_EQ(config_error({.protocol = "unix", .socket_path = "unix://"}),
              "unix:// endpoint must include a socket path");
}

TEST(Endpoint, PipeRules) {
    for (const char* protocol : {"pipe", "named_pipe", "named-pipe", "NAMED-PIPE"}) {
        EXPECT_EQ(config_error({.protocol = protocol, .pipe_name = "x"}),
                  "protocol='pipe' is only supported on Windows")
            << protocol;
    }
    EXPECT_EQ(config_error({.endpoint = "tcp://", .protocol = "pipe"}),
              "protocol='pipe' is only supported on Windows");
    EXPECT_EQ(config_error({.protocol = "pipe", .host = "h", .pipe_name = "x"}),
              "protocol='pipe' cannot be combined with host/port/socket_path");
    EXPECT_EQ(config_error({.protocol = "pipe", .port = 0}),
              "protocol='pipe' cannot be combined with host/port/socket_path");
    EXPECT_EQ(config_error({.protocol = "pipe", .socket_path = "/s"}),
              "protocol='pipe' cannot be combined with host/port/socket_path");
}

}  // namespace
}  // namespace zelto::sdk
