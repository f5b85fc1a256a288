#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "common/unique_fd.hpp"
#include "support/on_one_processor.hpp"
#include "transport/send_buffer.hpp"
#include "transport/socket_connect.hpp"

namespace zelto::transport {
namespace {

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/zc-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

UniqueFd unix_listener(const std::string& path, bool listening) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (listening) {
        EXPECT_EQ(::listen(fd.get(), 4), 0);
    }
    return fd;
}

// A listener on an ephemeral port of `host` (the loopback address by default).
UniqueFd tcp_listener(std::uint16_t& port, in_addr_t host = htonl(INADDR_LOOPBACK)) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = host;
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd.get(), 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

std::string connect_error(Result<ReadWriteConnection, IoError> result) {
    EXPECT_FALSE(result);
    return result ? "<connected>" : result.error().message;
}

TEST(ConnectUnix, PathChecks) {
    EXPECT_EQ(connect_error(connect_unix(std::string_view("/tmp/a\0b", 8))),
              "paths must not contain interior null bytes");
    EXPECT_EQ(connect_error(connect_unix(std::string(108, 'a'))),
              "path must be shorter than SUN_LEN");
    // 107 bytes pass the length check and reach the system.
    EXPECT_EQ(connect_error(connect_unix("/tmp/" + std::string(102, 'a'))),
              "No such file or directory (os error 2)");
}

TEST(ConnectUnix, SystemErrorsAndSuccess) {
    TempDir dir;
    const std::string stale = dir.path() + "/stale.sock";
    UniqueFd bound = unix_listener(stale, false);  // a socket file nobody listens on
    EXPECT_EQ(connect_error(connect_unix(stale)), "Connection refused (os error 111)");

    const std::string live = dir.path() + "/live.sock";
    UniqueFd listener = unix_listener(live, true);
    auto connection = connect_unix(live);
    ASSERT_TRUE(connection) << connection.error().message;
    // Close-on-exec so an engine started later by the caller does not inherit it.
    EXPECT_TRUE(::fcntl(connection->fd(), F_GETFD) & FD_CLOEXEC);
}

int send_buffer(int fd) {
    int bytes = 0;
    socklen_t length = sizeof bytes;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, &length), 0);
    return bytes;
}

long wmem_max() {
    FILE* file = std::fopen("/proc/sys/net/core/wmem_max", "r");
    long value = -1;
    if (file != nullptr) {
        EXPECT_EQ(std::fscanf(file, "%ld", &value), 1);
        std::fclose(file);
    }
    return value;
}

// A frame of a few hundred kilobytes goes out on a Unix socket without waiting for the engine to
// read: the send buffer is raised as far as the system allows (the kernel keeps twice the asked
// size), unless the system's default is already larger.
TEST(ConnectUnix, RaisesTheSendBuffer) {
    TempDir dir;
    const std::string path = dir.path() + "/live.sock";
    UniqueFd listener = unix_listener(path, true);
    const long limit = wmem_max();
    ASSERT_GT(limit, 0);
    UniqueFd fresh(::socket(AF_UNIX, SOCK_STREAM, 0));
    const int default_size = send_buffer(fresh.get());

    auto connection = connect_unix(path);
    ASSERT_TRUE(connection);
    const long expected = default_size >= 2 * kLocalSendBuffer
                              ? default_size
                              : 2 * std::min<long>(kLocalSendBuffer, limit);
    EXPECT_EQ(send_buffer(connection->fd()), expected);
}

// An IPv4 address of one of this machine's interfaces other than loopback, if it has one.
std::optional<in_addr> non_loopback_address() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::optional<in_addr> found;
    for (ifaddrs* item = list; item != nullptr && !found; item = item->ifa_next) {
        if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET) continue;
        const in_addr address = reinterpret_cast<const sockaddr_in*>(item->ifa_addr)->sin_addr;
        if ((ntohl(address.s_addr) >> 24) != 127) found = address;
    }
    ::freeifaddrs(list);
    return found;
}

std::string dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// How long a connection's reply wait spins, in microseconds; -1 when it could not connect.
long spin_us(const IdlePhases& phases) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(phases.yielding).count());
}

long tcp_spin_budget(const std::string& host, std::uint16_t port) {
    auto connection = connect_tcp(host + ":" + std::to_string(port));
    EXPECT_TRUE(connection) << host << ": " << (connection ? "" : connection.error().message);
    return connection ? spin_us(connection->reply_wait()) : -1;
}

// Peers on this machine are waited for by spinning first, also from a thread that may run on one
// processor only (the engine may run on another one); a peer reached through any other address
// is waited for by blocking at once.
TEST(ConnectLocalPeers, SpinBeforeBlockingAlsoWhenConfinedToOneProcessor) {
    TempDir dir;
    const std::string path = dir.path() + "/live.sock";
    UniqueFd unix_socket = unix_listener(path, true);
    std::uint16_t port = 0;
    UniqueFd tcp_socket = tcp_listener(port);
    const auto budgets = [&] {
        auto over_unix = connect_unix(path);
        EXPECT_TRUE(over_unix);
        return std::pair(over_unix ? spin_us(over_unix->reply_wait()) : -1,
                         tcp_spin_budget("127.0.0.1", port));
    };

    EXPECT_EQ(budgets(), std::pair(100L, 100L));
    // All of 127.0.0.0/8 is loopback.
    std::uint16_t other_port = 0;
    UniqueFd other = tcp_listener(other_port, htonl(0x7F000002));
    EXPECT_EQ(tcp_spin_budget("127.0.0.2", other_port), 100);
    if (const auto address = non_loopback_address()) {
        std::uint16_t outside_port = 0;
        UniqueFd outside = tcp_listener(outside_port, address->s_addr);
        EXPECT_EQ(tcp_spin_budget(dotted(*address), outside_port), 0) << dotted(*address);
    }
    std::pair<long, long> confined{-2, -2};
    ASSERT_TRUE(testing_support::run_on_one_processor([&] { confined = budgets(); }));
    EXPECT_EQ(confined, std::pair(100L, 100L));
}

TEST(ConnectTcp, AddressTextErrors) {
    EXPECT_EQ(connect_error(connect_tcp("hostonly")), "invalid socket address");
    EXPECT_EQ(connect_error(connect_tcp("host:99999")), "invalid port value");
    EXPECT_EQ(connect_error(connect_tcp("host:")), "invalid port value");
    EXPECT_EQ(connect_error(connect_tcp("host:-1")), "invalid port value");
    EXPECT_EQ(connect_error(connect_tcp("127.0.0.1:99999")), "invalid port value");
    // However many digits, the value decides: leading zeros are fine, a long text cannot wrap.
    EXPECT_EQ(connect_error(connect_tcp("127.0.0.1:0000065536")), "invalid port value");
    EXPECT_EQ(connect_error(connect_tcp("127.0.0.1:4294967297")), "invalid port value");
    EXPECT_EQ(connect_error(connect_tcp("host:000000000000000000000000070000")),
              "invalid port value");
    const std::string lookup = connect_error(connect_tcp("nonexistent.invalid:80"));
    EXPECT_EQ(lookup.rfind("failed to lookup address information: ", 0), 0u) << lookup;
}

TEST(ConnectTcp, NumericAndResolvedAddresses) {
    std::uint16_t port = 0;
    UniqueFd listener = tcp_listener(port);
    // A port written with leading zeros is the same port, numeric host or resolved.
    for (const std::string& address :
         {"127.0.0.1:" + std::to_string(port), "localhost:" + std::to_string(port),
          "127.0.0.1:000" + std::to_string(port), "localhost:0" + std::to_string(port)}) {
        const std::string& host = address;  // named in the failure messages below
        auto connection = connect_tcp(address);
        ASSERT_TRUE(connection) << host << ": " << connection.error().message;
        int nodelay = 0;
        socklen_t size = sizeof nodelay;
        ASSERT_EQ(::getsockopt(connection->fd(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &size), 0);
        EXPECT_EQ(nodelay, 1);
        EXPECT_TRUE(::fcntl(connection->fd(), F_GETFD) & FD_CLOEXEC);
    }
    listener.reset();  // the port is now closed
    EXPECT_EQ(connect_error(connect_tcp("127.0.0.1:" + std::to_string(port))),
              "Connection refused (os error 111)");
}

}  // namespace
}  // namespace zelto::transport
