#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "common/unique_fd.hpp"
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

// A loopback listener on an ephemeral port.
UniqueFd tcp_listener(std::uint16_t& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

// Peers on this machine are waited for by spinning first, unless the connecting thread may run
// on one processor only (the spin would keep the engine from running).
TEST(ConnectLocalPeers, SpinBeforeBlockingUnlessConfinedToOneProcessor) {
    TempDir dir;
    const std::string path = dir.path() + "/live.sock";
    UniqueFd unix_socket = unix_listener(path, true);
    std::uint16_t port = 0;
    UniqueFd tcp_socket = tcp_listener(port);
    const auto budgets = [&] {
        auto over_unix = connect_unix(path);
        auto over_tcp = connect_tcp("127.0.0.1:" + std::to_string(port));
        EXPECT_TRUE(over_unix && over_tcp);
        return std::pair(over_unix ? over_unix->spin_before_blocking().count() : -1,
                         over_tcp ? over_tcp->spin_before_blocking().count() : -1);
    };

    cpu_set_t mask;
    CPU_ZERO(&mask);
    ASSERT_EQ(::sched_getaffinity(0, sizeof mask, &mask), 0);
    if (CPU_COUNT(&mask) > 1) {
        const auto [over_unix, over_tcp] = budgets();
        EXPECT_EQ(over_unix, 100);
        EXPECT_EQ(over_tcp, 100);
    }
    std::pair<long, long> confined{-2, -2};
    std::thread([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &mask)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        if (::sched_setaffinity(0, sizeof one, &one) == 0) confined = budgets();
    }).join();
    EXPECT_EQ(confined, std::pair(0L, 0L));
}

TEST(ConnectTcp, AddressTextErrors) {
    EXPECT_EQ(connect_error(connect_tcp("hostonly")), "invalid socket address");
    EXPECT_EQ(connect_error(connect_tcp("host:99999")), "invalid port value");
    EXPECT_EQ(connect_error(connect_tcp("host:")), "invalid port value");
    EXPECT_EQ(connect_error(connect_tcp("host:-1")), "invalid port value");
    EXPECT_EQ(connect_error(connect_tcp("127.0.0.1:99999")), "invalid port value");
    const std::string lookup = connect_error(connect_tcp("nonexistent.invalid:80"));
    EXPECT_EQ(lookup.rfind("failed to lookup address information: ", 0), 0u) << lookup;
}

TEST(ConnectTcp, NumericAndResolvedAddresses) {
    std::uint16_t port = 0;
    UniqueFd listener = tcp_listener(port);
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        auto connection = connect_tcp(host + ":" + std::to_string(port));
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
