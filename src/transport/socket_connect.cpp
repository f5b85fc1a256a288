#include "transport/socket_connect.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/retry_on_eintr.hpp"
#include "transport/send_buffer.hpp"

namespace zelto::transport {
namespace {

// An engine behind a Unix socket or a loopback address runs on this machine, so a reply is often
// only an engine wake-up away: the connection spins before it blocks (common/idle_strategy.hpp).
ReadWriteConnection local_connection(UniqueFd fd) {
    ReadWriteConnection connection(std::move(fd));
    connection.set_reply_wait(idle::kLocalSocketReply);
    return connection;
}

bool is_loopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
    }
    return false;
}

// A blocking connect. If a signal interrupts it the kernel keeps connecting in the background,
// so the outcome is collected by waiting for writability rather than by connecting again.
Result<void, IoError> connect_socket(int fd, const sockaddr* address, socklen_t length) {
    if (::connect(fd, address, length) == 0) return {};
    if (errno != EINTR) return unexpected(IoError::from_errno(errno));
    pollfd watch{fd, POLLOUT, 0};
    if (retry_on_eintr([&] { return ::poll(&watch, 1, -1); }) < 0) {
        return unexpected(IoError::from_errno(errno));
    }
    int pending = 0;
    socklen_t size = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) < 0) {
        return unexpected(IoError::from_errno(errno));
    }
    if (pending != 0) return unexpected(IoError::from_errno(pending));
    return {};
}

Result<UniqueFd, IoError> open_socket(int family) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return unexpected(IoError::from_errno(errno));
    return fd;
}

std::optional<std::uint16_t> parse_port(std::string_view text, bool allow_plus) {
    if (allow_plus && !text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    // Any number of digits: "044241" is 44241. The value is capped as it grows, so a long text
    // cannot wrap round into range.
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = std::min<std::uint32_t>(value * 10 + static_cast<std::uint32_t>(c - '0'), 65536);
    }
    if (value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// "a.b.c.d:port" or "[v6]:port" / "[v6%scope]:port" (numeric scope), without the resolver.
std::optional<SocketAddress> parse_numeric(std::string_view text) {
    SocketAddress result;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return std::nullopt;
        }
        auto port = parse_port(text.substr(close + 2), false);
        if (!port) return std::nullopt;
        std::string_view inside = text.substr(1, close - 1);
        std::uint32_t scope = 0;
        if (const std::size_t percent = inside.find('%'); percent != std::string_view::npos) {
            std::string_view digits = inside.substr(percent + 1);
            if (digits.empty() || digits.size() > 10) return std::nullopt;
            std::uint64_t value = 0;
            for (char c : digits) {
                if (c < '0' || c > '9') return std::nullopt;
                value = value * 10 + static_cast<std::uint64_t>(c - '0');
            }
            if (value > 0xFFFFFFFFu) return std::nullopt;
            scope = static_cast<std::uint32_t>(value);
            inside = inside.substr(0, percent);
        }
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&result.storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(*port);
        v6->sin6_scope_id = scope;
        if (::inet_pton(AF_INET6, std::string(inside).c_str(), &v6->sin6_addr) != 1) {
            return std::nullopt;
        }
        result.length = sizeof(sockaddr_in6);
        return result;
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    auto port = parse_port(text.substr(colon + 1), false);
    if (!port) return std::nullopt;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&result.storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(*port);
    if (::inet_pton(AF_INET, std::string(text.substr(0, colon)).c_str(), &v4->sin_addr) != 1) {
        return std::nullopt;
    }
    result.length = sizeof(sockaddr_in);
    return result;
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

Result<std::vector<SocketAddress>, IoError> resolve(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return unexpected(IoError::invalid_input("invalid socket address"));
    }
    auto port = parse_port(text.substr(colon + 1), true);
    if (!port) return unexpected(IoError::invalid_input("invalid port value"));
    const std::string host(text.substr(0, colon));

    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    if (status == EAI_SYSTEM) return unexpected(IoError::from_errno(errno));
    if (status != 0) {
        return unexpected(IoError::other(std::string("failed to lookup address information: ") +
                                         ::gai_strerror(status)));
    }
    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress address;
        std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        address.length = entry->ai_addrlen;
        if (entry->ai_family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(*port);
        } else {
            reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(*port);
        }
        addresses.push_back(address);
    }
    return addresses;
}

}  // namespace

Result<ReadWriteConnection, IoError> connect_unix(std::string_view path) {
    sockaddr_un address{};
    if (path.find('\0') != std::string_view::npos) {
        return unexpected(IoError::invalid_input("paths must not contain interior null bytes"));
    }
    if (path.size() >= sizeof address.sun_path) {
        return unexpected(IoError::invalid_input("path must be shorter than SUN_LEN"));
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    // The terminating NUL is counted for a path, not for the empty (unnamed) address.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                               (path.empty() ? 0 : 1));

    auto fd = open_socket(AF_UNIX);
    if (!fd) return unexpected(std::move(fd).error());
    auto connected = connect_socket(fd->get(), reinterpret_cast<const sockaddr*>(&address), length);
    if (!connected) return unexpected(std::move(connected).error());
    raise_send_buffer(fd->get());
    return local_connection(std::move(*fd));
}

Result<ReadWriteConnection, IoError> connect_tcp(std::string_view address) {
    std::vector<SocketAddress> candidates;
    if (auto numeric = parse_numeric(address)) {
        candidates.push_back(*numeric);
    } else {
        auto resolved = resolve(address);
        if (!resolved) return unexpected(std::move(resolved).error());
        candidates = std::move(*resolved);
    }

    std::optional<IoError> last_error;
    for (const SocketAddress& candidate : candidates) {
        auto fd = open_socket(candidate.storage.ss_family);
        if (!fd) {
            last_error = std::move(fd).error();
            continue;
        }
        auto connected = connect_socket(
            fd->get(), reinterpret_cast<const sockaddr*>(&candidate.storage), candidate.length);
        if (!connected) {
            last_error = std::move(connected).error();
            continue;
        }
        // Best effort: a connection without the option still works, only slower.
        const int on = 1;
        (void)::setsockopt(fd->get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (is_loopback(candidate.storage)) return local_connection(std::move(*fd));
        return ReadWriteConnection(std::move(*fd));
    }
    if (last_error) return unexpected(std::move(*last_error));
    return unexpected(IoError::invalid_input("could not resolve to any addresses"));
}

}  // namespace zelto::transport
