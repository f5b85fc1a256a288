#include <gtest/gtest.h>
#include <sys/socket.h>

#include <vector>

#include "common/unique_fd.hpp"
#include "sdk/socket/connection_pool.hpp"

namespace zelto::sdk {
namespace {

using transport::ReadWriteConnection;

// Connections over socketpairs; the far ends stay here so a test can see which are closed.
struct Connections {
    std::vector<UniqueFd> far_ends;
    int connects = 0;

    ReadWriteConnection make() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        far_ends.emplace_back(fds[1]);
        ++connects;
        return ReadWriteConnection(UniqueFd(fds[0]));
    }
    auto connector() {
        return [this]() -> Result<ReadWriteConnection, ClientError> { return make(); };
    }
    // The far end reads end of file once its near end is closed.
    bool closed(std::size_t index) const {
        char byte;
        return ::recv(far_ends[index].get(), &byte, 1, MSG_DONTWAIT) == 0;
    }
};

TEST(ConnectionPool, FirstInFirstOut) {
    Connections made;
    ConnectionPool pool(8);
    ReadWriteConnection a = made.make();
    ReadWriteConnection b = made.make();
    const int fd_a = a.fd();
    const int fd_b = b.fd();
    pool.return_connection(std::move(a));
    pool.return_connection(std::move(b));
    EXPECT_EQ(pool.idle_count(), 2u);

    auto first = pool.acquire(made.connector());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->fd(), fd_a);  // idle longest goes first
    auto second = pool.acquire(made.connector());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->fd(), fd_b);
    EXPECT_EQ(made.connects, 2);
    auto third = pool.acquire(made.connector());  // empty: connects
    ASSERT_TRUE(third);
    EXPECT_EQ(made.connects, 3);
}

TEST(ConnectionPool, FullPoolClosesTheOfferedConnection) {
    Connections made;
    ConnectionPool pool(1);
    pool.return_connection(made.make());
    pool.return_connection(made.make());
    EXPECT_EQ(pool.idle_count(), 1u);
    EXPECT_FALSE(made.closed(0));
    EXPECT_TRUE(made.closed(1));
}

TEST(ConnectionPool, ZeroLimitNeverKeepsAConnection) {
    Connections made;
    ConnectionPool pool(0);
    pool.return_connection(made.make());
    EXPECT_EQ(pool.idle_count(), 0u);
    EXPECT_TRUE(made.closed(0));
    auto connection = pool.acquire(made.connector());
    ASSERT_TRUE(connection);
    EXPECT_EQ(made.connects, 2);
}

TEST(ConnectionPool, ConnectFailureLeavesThePoolUntouched) {
    ConnectionPool pool(4);
    auto failed = pool.acquire([]() -> Result<ReadWriteConnection, ClientError> {
        return unexpected(ClientError::from_io(IoError::from_errno(111)));
    });
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, ClientError::Kind::Io);
    EXPECT_EQ(failed.error().message, "Connection refused (os error 111)");
    EXPECT_EQ(pool.idle_count(), 0u);
}

TEST(ConnectionPool, DestructionClosesIdleConnections) {
    Connections made;
    {
        ConnectionPool pool(4);
        pool.return_connection(made.make());
        pool.return_connection(made.make());
        EXPECT_FALSE(made.closed(0));
    }
    EXPECT_TRUE(made.closed(0));
    EXPECT_TRUE(made.closed(1));
}

}  // namespace
}  // namespace zelto::sdk
