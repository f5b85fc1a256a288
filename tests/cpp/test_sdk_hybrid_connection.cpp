// The hybrid socket, exchange and connection holder against a scripted peer: a Unix listener on
// its own thread that reads and writes exact bytes per accepted connection.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.hpp"
#include "ipc/hybrid_messages.hpp"
#include "sdk/hybrid/event_loop.hpp"
#include "sdk/hybrid/hybrid_connection.hpp"
#include "support/unix_peer.hpp"
#include "transport/nonblocking_socket.hpp"

namespace zelto::sdk {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A successful reply frame naming `offset`; `extra` bytes follow the 40-byte record.
Bytes success_reply(std::uint64_t offset, std::size_t extra = 0) {
    ipc::HybridResponse response;
    response.metadata.request_id = 99;  // never compared with the request's
    response.metadata.status = 3;       // nor is the status byte
    response.shm_offset = offset;
    response.shm_size = 80;
    const auto body = response.encode();
    Bytes frame = cat({le32(0), le32(static_cast<std::uint32_t>(40 + extra))});
    frame.insert(frame.end(), body.begin(), body.end());
    frame.insert(frame.end(), extra, 0x77);
    return frame;
}

// What the peer does on one accepted connection: read the 52-byte request, write `reply`, and
// either close (close_after) or serve one more request with a success reply naming offset 4242.
// With `cuts`, the reply goes out in pieces ending at those byte positions, `pause` apart.
struct ConnectionScript {
    Bytes reply;
    bool close_after = false;
    bool serve_second = false;
    std::vector<std::size_t> cuts = {};
    std::chrono::milliseconds pause{0};
};

class ScriptedPeer {
  public:
    // `name` is a file-system path, or an abstract name when it starts with a NUL byte.
    ScriptedPeer(std::string name, std::vector<ConnectionScript> scripts)
        : name_(std::move(name)),
          scripts_(std::move(scripts)),
          listener_(unix_peer::listen_unix(name_, 8)) {
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedPeer() {
        thread_.join();
        if (!name_.empty() && name_[0] != '\0') ::unlink(name_.c_str());
    }

    std::size_t accepted() const { return accepted_.load(); }
    Bytes first_request() {
        std::lock_guard<std::mutex> lock(mutex_);
        return first_request_;
    }

  private:
    static void write_in_pieces(int fd, const ConnectionScript& script) {
        std::size_t start = 0;
        for (const std::size_t cut : script.cuts) {
            unix_peer::write_all(fd,
                                 Bytes(script.reply.begin() + static_cast<std::ptrdiff_t>(start),
                                       script.reply.begin() + static_cast<std::ptrdiff_t>(cut)));
            start = cut;
            std::this_thread::sleep_for(script.pause);
        }
        unix_peer::write_all(fd, Bytes(script.reply.begin() + static_cast<std::ptrdiff_t>(start),
                                       script.reply.end()));
    }

    void run() {
        for (const auto& script : scripts_) {
            if (!unix_peer::readable(listener_.get())) return;
            UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection.valid()) return;
            ++accepted_;
            Bytes request;
            if (!unix_peer::read_request_frame(connection.get(), request)) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (first_request_.empty()) first_request_ = request;
            }
            write_in_pieces(connection.get(), script);
            if (script.close_after) continue;
            if (script.serve_second && unix_peer::read_request_frame(connection.get(), request)) {
                unix_peer::write_all(connection.get(), success_reply(4242));
            }
            unix_peer::wait_for_hang_up(connection.get());
        }
    }

    std::string name_;
    std::vector<ConnectionScript> scripts_;
    UniqueFd listener_;
    std::thread thread_;
    std::atomic<std::size_t> accepted_{0};
    std::mutex mutex_;
    Bytes first_request_;
};

std::string fresh_path() {
    static std::atomic<int> counter{0};
    return "/tmp/zelto-hybrid-test-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter++) + ".sock";
}

ipc::HybridRequest sample_request() {
    ipc::HybridRequest request;
    request.metadata = transport::RequestMetadata::create(1, 0, 0, 0);
    request.shm_offset = 4096;
    request.shm_size = 88;
    return request;
}

// ---------------------------------------------------------------------------------------------
// Addresses

TEST(UnixAddress, AbstractNamesUpToTheWholeSunPath) {
    EXPECT_TRUE(transport::unix_address(std::string(1, '\0') + std::string(107, 'a')));
    auto too_long = transport::unix_address(std::string(1, '\0') + std::string(108, 'a'));
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().message, "abstract socket name must be shorter than SUN_LEN");
    // Zero bytes after the first belong to the name and count towards its length.
    auto with_zeros = transport::unix_address(std::string("\0a\0b", 4));
    ASSERT_TRUE(with_zeros);
    EXPECT_EQ(with_zeros->length, offsetof(sockaddr_un, sun_path) + 4);
}

TEST(UnixAddress, FileSystemPathRules) {
    EXPECT_TRUE(transport::unix_address(std::string(107, 'p')));
    auto too_long = transport::unix_address(std::string(108, 'p'));
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().message, "path must be shorter than SUN_LEN");
    // The zero byte is found before the length is looked at.
    auto interior = transport::unix_address(std::string("a\0b", 3) + std::string(200, 'p'));
    ASSERT_FALSE(interior);
    EXPECT_EQ(interior.error().message, "paths must not contain interior null bytes");
}

// ---------------------------------------------------------------------------------------------
// Connecting

class HybridConnectionTest : public testing::Test {
  protected:
    void SetUp() override {
        auto created = EventLoop::create(2);
        ASSERT_TRUE(created);
        loop = std::move(*created);
    }
    std::unique_ptr<EventLoop> loop;
};

TEST_F(HybridConnectionTest, ConnectFailuresLeaveTheHolderEmptyAndAreRetried) {
    const std::string missing = fresh_path();
    HybridConnection connection(missing);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto outcome = connection.exchange(sample_request(), *loop);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error().kind, HybridError::Kind::Io);
        EXPECT_EQ(outcome.error().message, "No such file or directory (os error 2)");
        EXPECT_FALSE(connection.connected());
    }

    // A socket file on which nothing listens refuses.
    const std::string dead = fresh_path();
    {
        UniqueFd bound(::socket(AF_UNIX, SOCK_STREAM, 0));
        auto address = transport::unix_address(dead);
        ASSERT_EQ(::bind(bound.get(), reinterpret_cast<const sockaddr*>(&address->address),
                         address->length),
                  0);
    }
    HybridConnection refused(dead);
    auto outcome = refused.exchange(sample_request(), *loop);
    ::unlink(dead.c_str());
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message, "Connection refused (os error 111)");
    EXPECT_FALSE(refused.connected());

    HybridConnection too_long(std::string(108, 'x'));
    auto invalid = too_long.exchange(sample_request(), *loop);
    ASSERT_FALSE(invalid);
    EXPECT_EQ(invalid.error().message, "path must be shorter than SUN_LEN");
}

TEST_F(HybridConnectionTest, AbstractNamespaceAndExactRequestBytes) {
    const std::string name = std::string(1, '\0') + "zelto-hybrid-" + std::to_string(::getpid());
    ScriptedPeer peer(name, {{success_reply(8192), false, false}});
    HybridConnection connection(name);
    const auto request = sample_request();
    auto outcome = connection.exchange(request, *loop);
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(outcome->shm_offset, 8192u);
    EXPECT_EQ(outcome->metadata.request_id, 99u);
    EXPECT_TRUE(connection.connected());
    const auto expected = ipc::encode_request_frame(request);
    EXPECT_EQ(peer.first_request(), Bytes(expected.begin(), expected.end()));
}

// ---------------------------------------------------------------------------------------------
// Replies: each case is followed by a second exchange, which must reuse the stream when the
// first reply was consumed whole and must connect afresh when the stream was cut.

struct ReplyCase {
    const char* name;
    Bytes reply;
    bool ok;
    HybridError::Kind kind;  // when !ok
    std::string message;     // when !ok
    bool stream_kept;
};

class HybridReplies : public HybridConnectionTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(HybridReplies, OutcomeAndWhatHappensToTheStream) {
    const ReplyCase& c = GetParam();
    const std::string path = fresh_path();
    std::vector<ConnectionScript> scripts;
    if (c.stream_kept) {
        scripts.push_back({c.reply, false, true});
    } else {
        scripts.push_back({c.reply, true, false});
        scripts.push_back({success_reply(4242), false, false});
    }
    ScriptedPeer peer(path, scripts);
    HybridConnection connection(path);

    auto first = connection.exchange(sample_request(), *loop);
    if (c.ok) {
        ASSERT_TRUE(first) << first.error().message;
        EXPECT_EQ(first->shm_offset, 8192u);
    } else {
        ASSERT_FALSE(first);
        EXPECT_EQ(first.error().kind, c.kind);
        EXPECT_EQ(first.error().message, c.message);
    }
    EXPECT_EQ(connection.connected(), c.stream_kept);

    auto second = connection.exchange(sample_request(), *loop);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_EQ(second->shm_offset, 4242u);
    EXPECT_EQ(peer.accepted(), c.stream_kept ? 1u : 2u);
}

const Bytes kHeaderOk40 = cat({le32(0), le32(40)});

INSTANTIATE_TEST_SUITE_P(
    Cases, HybridReplies,
    testing::Values(
        ReplyCase{"Body40", success_reply(8192), true, {}, "", true},
        ReplyCase{"Body48", success_reply(8192, 8), true, {}, "", true},
        ReplyCase{"EmptySuccessBody", cat({le32(0), le32(0)}), false, HybridError::Kind::Decode,
                  "io error: unexpected end of file", true},
        ReplyCase{"ShortSuccessBody", cat({le32(0), le32(39), Bytes(39, 1)}), false,
                  HybridError::Kind::Decode, "io error: unexpected end of file", true},
        ReplyCase{"Status7Text", cat({le32(7), le32(10), text("engine off")}), false,
                  HybridError::Kind::Remote, "engine off", true},
        ReplyCase{"Status1Empty", cat({le32(1), le32(0)}), false, HybridError::Kind::Remote, "",
                  true},
        ReplyCase{"InvalidUtf8", cat({le32(1), le32(2), Bytes{0xFF, 0xFE}}), false,
                  HybridError::Kind::Remote, "\xEF\xBF\xBD\xEF\xBF\xBD", true},
        ReplyCase{"CloseBeforeReply", Bytes{}, false, HybridError::Kind::Io, "early eof", false},
        ReplyCase{"CloseInHeader", Bytes{0, 0, 0}, false, HybridError::Kind::Io, "early eof",
                  false},
        ReplyCase{"CloseInBody", cat({kHeaderOk40, Bytes(20, 0)}), false, HybridError::Kind::Io,
                  "early eof", false},
        // A huge announced length is not allocated up front: the close is noticed first.
        ReplyCase{"CloseInHugeErrorBody", cat({le32(5), le32(0xFFFFFFFFu), text("abc")}), false,
                  HybridError::Kind::Io, "early eof", false}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST_F(HybridConnectionTest, LongErrorTextsAreCappedButFullyConsumed) {
    const std::size_t length = kMaxKeptErrorText + 100000;
    Bytes reply = cat({le32(9), le32(static_cast<std::uint32_t>(length))});
    reply.resize(reply.size() + length, 'x');
    const std::string path = fresh_path();
    ScriptedPeer peer(path, {{reply, false, true}});
    HybridConnection connection(path);

    auto first = connection.exchange(sample_request(), *loop);
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().kind, HybridError::Kind::Remote);
    EXPECT_EQ(first.error().message, std::string(kMaxKeptErrorText, 'x'));
    // The discarded tail was read, so the next reply starts on a frame boundary.
    auto second = connection.exchange(sample_request(), *loop);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_EQ(second->shm_offset, 4242u);
    EXPECT_EQ(peer.accepted(), 1u);
}

TEST_F(HybridConnectionTest, BytesBehindAReplyWaitForTheNextExchangeInOrder) {
    // Two replies in one write: the first exchange's read takes in more than its frame, and the
    // rest must be the second exchange's reply, not lost and not read twice.
    const std::string path = fresh_path();
    ScriptedPeer peer(path, {{cat({success_reply(8192, 8), success_reply(4343)}), false, false}});
    HybridConnection connection(path);

    auto first = connection.exchange(sample_request(), *loop);
    ASSERT_TRUE(first) << first.error().message;
    EXPECT_EQ(first->shm_offset, 8192u);
    auto second = connection.exchange(sample_request(), *loop);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_EQ(second->shm_offset, 4343u);
    EXPECT_EQ(peer.accepted(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Replies that come late: each piece arrives well after the caller's spin has given up, so the
// caller parks on the event loop and a worker has to wake it for every piece.

constexpr std::chrono::milliseconds kLongAfterTheSpin{30};

TEST_F(HybridConnectionTest, ReplyInPiecesAfterTheSpinStillCompletes) {
    const Bytes reply = success_reply(8192, 8);
    const std::string path = fresh_path();
    // Pieces end inside the status word, inside body_len, inside the record and before the
    // trailing bytes.
    ScriptedPeer peer(path, {{reply, false, true, {3, 6, 20, 48}, kLongAfterTheSpin}});
    HybridConnection connection(path);

    auto first = connection.exchange(sample_request(), *loop);
    ASSERT_TRUE(first) << first.error().message;
    EXPECT_EQ(first->shm_offset, 8192u);
    EXPECT_EQ(first->metadata.request_id, 99u);
    EXPECT_EQ(first->metadata.status, 3u);
    EXPECT_GE(loop->parked_waits(), 4u);  // one for each piece after a pause
    // Every byte of the late reply was consumed: the next reply is read from a frame boundary.
    auto second = connection.exchange(sample_request(), *loop);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_EQ(second->shm_offset, 4242u);
    EXPECT_EQ(peer.accepted(), 1u);
}

// The spin a receive is given decides whether a late reply costs a hand-over: the exchange gives
// the wait for a large tensor's answer a longer one (idle::copy_watch).
TEST_F(HybridConnectionTest, AReceiveParksOnlyOnceItsSpinIsOver) {
    const IdlePhases long_spin = IdlePhases{}.yielding_longer(std::chrono::seconds(10));
    for (const IdlePhases& spin : {long_spin, IdlePhases{}}) {
        const std::string path = fresh_path();
        ScriptedPeer peer(path, {{success_reply(8192), true, false, {0}, kLongAfterTheSpin}});
        auto socket = transport::NonBlockingSocket::connect(path, *loop);
        ASSERT_TRUE(socket) << socket.error().message;
        const auto request = ipc::encode_request_frame(sample_request());
        ASSERT_TRUE(socket->send_all(request.data(), request.size(), *loop));

        const std::uint64_t parked_before = loop->parked_waits();
        std::array<std::uint8_t, 8> header{};
        ASSERT_TRUE(socket->receive_exact(header.data(), header.size(), *loop, spin));
        EXPECT_EQ(header[4], 40u);
        if (spin.yielding.count() > 0) {
            // A busy machine may legitimately cut the spin short (the strategy then says so).
            if (socket->idle_strategy().crowded()) continue;
            EXPECT_EQ(loop->parked_waits(), parked_before) << "spun past the pause";
        } else {
            EXPECT_EQ(loop->parked_waits(), parked_before + 1) << "parked at once";
        }
    }
}

TEST_F(HybridConnectionTest, LateErrorTextInPiecesKeepsItsExactText) {
    const Bytes reply = cat({le32(7), le32(15), text("engine \xFF late!!")});
    const std::string path = fresh_path();
    ScriptedPeer peer(path, {{reply, false, true, {8, 12}, kLongAfterTheSpin}});
    HybridConnection connection(path);

    auto first = connection.exchange(sample_request(), *loop);
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().kind, HybridError::Kind::Remote);
    EXPECT_EQ(first.error().message, "engine \xEF\xBF\xBD late!!");
    EXPECT_TRUE(connection.connected());
    auto second = connection.exchange(sample_request(), *loop);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_EQ(second->shm_offset, 4242u);
}

TEST_F(HybridConnectionTest, PeerClosingAfterTheSpinIsAnEarlyEof) {
    // Half a header, a long pause, then the close: the parked caller is woken by the hang-up.
    const std::string path = fresh_path();
    ScriptedPeer peer(path, {{Bytes{0, 0, 0, 0, 40}, true, false, {2}, kLongAfterTheSpin},
                             {success_reply(4242), false, false}});
    HybridConnection connection(path);

    auto first = connection.exchange(sample_request(), *loop);
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().kind, HybridError::Kind::Io);
    EXPECT_EQ(first.error().message, "early eof");
    EXPECT_FALSE(connection.connected());
    auto second = connection.exchange(sample_request(), *loop);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_EQ(second->shm_offset, 4242u);
    EXPECT_EQ(peer.accepted(), 2u);
}

}  // namespace
}  // namespace zelto::sdk
