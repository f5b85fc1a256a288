#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.hpp"
#include "transport/connection.hpp"
#include "transport/frame.hpp"
#include "transport/receive_buffer.hpp"

namespace zelto::transport {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A connected pair: `client` is the connection under test, `peer` the scripted other end.
struct SocketPair {
    SocketPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client = std::make_unique<ReadWriteConnection>(UniqueFd(fds[0]));
        peer.reset(fds[1]);
    }
    void send(const Bytes& bytes) const {
        ASSERT_EQ(::send(peer.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    Bytes receive(std::size_t count) const {
        Bytes out(count);
        std::size_t got = 0;
        while (got < count) {
            const ssize_t n = ::recv(peer.get(), out.data() + got, count - got, 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        out.resize(got);
        return out;
    }
    std::unique_ptr<ReadWriteConnection> client;
    UniqueFd peer;
};

Bytes header(std::uint32_t word, std::uint32_t length) {
    Bytes out(8);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(word >> (8 * i));
        out[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The next frame, read as the client's readers read one: the header peeked, then the frame
// received whole and consumed.
Result<FrameView, IoError> next_frame(ReadWriteConnection& connection) {
    auto header = peek_frame_header(connection);
    if (!header) return unexpected(std::move(header).error());
    return receive_frame(connection, *header);
}

Bytes body_of(const FrameView& frame) {
    return Bytes(frame.body.begin(), frame.body.end());
}

TEST(FrameWrite, RequestHeaderBytes) {
    SocketPair pair;
    const Bytes payload(100, 0xAB);
    ASSERT_TRUE(write_request(*pair.client, 7, FrameOp::Infer, payload));
    const Bytes got = pair.receive(112);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 12),
              (Bytes{0x07, 0, 0, 0, 0x01, 0, 0, 0, 0x64, 0, 0, 0}));
    EXPECT_EQ(Bytes(got.begin() + 12, got.end()), payload);

    ASSERT_TRUE(write_request(*pair.client, 0xFFFFFFFFu, FrameOp::InferStream, {}));
    EXPECT_EQ(pair.receive(12), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(FrameWrite, LargePayloadSurvivesPartialSends) {
    SocketPair pair;
    Bytes payload((std::size_t{8} << 20) + 3);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    Bytes got;
    std::thread reader([&] { got = pair.receive(12 + payload.size()); });
    ASSERT_TRUE(write_request(*pair.client, 3, FrameOp::Infer, payload));
    reader.join();
    ASSERT_EQ(got.size(), 12 + payload.size());
    EXPECT_EQ(Bytes(got.begin() + 8, got.begin() + 12), (Bytes{0x03, 0, 0x80, 0}));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), got.begin() + 12));
}

TEST(FrameWrite, OversizedPayloadIsRefusedBeforeWriting) {
    EXPECT_FALSE(frame_payload_error(0xFFFFFFFFull));
    auto error = frame_payload_error(0x100000000ull);
    ASSERT_TRUE(error);
    EXPECT_EQ(
        *error,
        "request payload of 4294967296 bytes does not fit a frame (at most 4294967295 bytes)");
}

TEST(FrameWrite, BrokenPipeIsAnOsError) {
    SocketPair pair;
    pair.peer.reset();
    auto written = write_request(*pair.client, 1, FrameOp::Infer, Bytes(10, 1));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind, IoErrorKind::Os);
    EXPECT_EQ(written.error().code, EPIPE);
    EXPECT_EQ(written.error().message, "Broken pipe (os error 32)");
}

TEST(FrameRead, ReplyStatusAndBody) {
    SocketPair pair;
    pair.send(concat(header(5, 3), {'a', 'b', 'c'}));
    auto reply = next_frame(*pair.client);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->word, 5u);
    EXPECT_EQ(body_of(*reply), (Bytes{'a', 'b', 'c'}));

    pair.send(header(0, 0));  // an empty body reads nothing more
    reply = next_frame(*pair.client);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->word, 0u);
    EXPECT_TRUE(reply->body.empty());
}

TEST(FrameRead, StreamFrames) {
    SocketPair pair;
    pair.send(concat(concat(header(9, 5), Bytes(5, 'x')), header(3, 0)));
    auto first = next_frame(*pair.client);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->word, 9u);
    EXPECT_EQ(body_of(*first), Bytes(5, 'x'));
    auto second = next_frame(*pair.client);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->word, 3u);
    EXPECT_TRUE(second->body.empty());
}

// A connection that spins before it blocks reads exactly what a blocking one reads: a reply
// already there, one that comes during the spin, one that comes long after it (the blocking
// receive takes over), one in pieces, and a close.
TEST(FrameRead, SpinningFirstChangesNothingButTheWait) {
    using std::chrono::microseconds;
    const Bytes reply = concat(header(6, 5), {'h', 'e', 'l', 'l', 'o'});
    for (const microseconds delay : {microseconds(0), microseconds(20), microseconds(30000)}) {
        SocketPair pair;
        pair.client->set_reply_wait(idle::kLocalSocketReply);
        std::thread writer([&] {
            std::this_thread::sleep_for(delay);
            pair.send(Bytes(reply.begin(), reply.begin() + 3));  // in the middle of the status
            std::this_thread::sleep_for(delay);
            pair.send(Bytes(reply.begin() + 3, reply.end()));
        });
        auto got = next_frame(*pair.client);
        writer.join();
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_EQ(got->word, 6u);
        EXPECT_EQ(body_of(*got), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    }
    SocketPair closing;
    closing.client->set_reply_wait(idle::kLocalSocketReply);
    std::thread closer([&] {
        std::this_thread::sleep_for(microseconds(20000));
        closing.peer.reset();
    });
    auto closed = next_frame(*closing.client);
    closer.join();
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error().message, "failed to fill whole buffer");
}

TEST(FrameRead, PeerClosingIsFailedToFill) {
    const std::vector<Bytes> sent = {{}, {0, 0, 0}, concat(header(0, 10), {1, 2, 3})};
    for (const Bytes& bytes : sent) {
        SocketPair pair;
        if (!bytes.empty()) pair.send(bytes);
        pair.peer.reset();
        auto reply = next_frame(*pair.client);
        ASSERT_FALSE(reply);
        EXPECT_EQ(reply.error().kind, IoErrorKind::UnexpectedEof);
        EXPECT_EQ(reply.error().message, "failed to fill whole buffer");
    }
}

TEST(FrameRead, HugeAnnouncedBodyCostsOnlyWhatArrives) {
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    SocketPair pair;
    pair.send(concat(header(0, 0xFFFFFFFFu), Bytes(4096, 7)));
    pair.peer.reset();
    auto reply = next_frame(*pair.client);
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error().message, "failed to fill whole buffer");
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    // ru_maxrss is in KiB; a body allocated up front would have touched 4 GiB.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);
}

TEST(FrameRead, BodiesLargerThanTheFirstChunkArriveWhole) {
    SocketPair pair;
    const std::size_t size = (std::size_t{1} << 20) * 3 + 5;  // three doublings
    Bytes body(size);
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<std::uint8_t>(i * 31);
    std::thread writer(
        [&] { pair.send(concat(header(4, static_cast<std::uint32_t>(size)), body)); });
    auto reply = next_frame(*pair.client);
    writer.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->word, 4u);
    EXPECT_EQ(body_of(*reply), body);
}

// A receive copies for as long as bytes keep coming, so fill asks for the bytes it still
// misses (or the read-ahead), never for all of a large buffer's room: a long reply's data must
// stay in the socket for the caller to receive where it wants it.
TEST(FrameRead, FillTakesInOnlyTheReadAheadBeyondWhatIsMissing) {
    SocketPair pair;
    const std::size_t large = std::size_t{2} << 20;  // grows the buffer past 2 MiB
    const Bytes first = concat(header(0, static_cast<std::uint32_t>(large)), Bytes(large, 3));
    std::thread writer([&] { pair.send(first); });
    const bool received = next_frame(*pair.client).has_value();
    writer.join();
    ASSERT_TRUE(received);
    ASSERT_GE(pair.client->receive_capacity(), large);

    // 180 KiB lie in the socket (its buffer asked large enough for them); a header is all that
    // is wanted.
    const int room = 1 << 20;
    ASSERT_EQ(::setsockopt(pair.peer.get(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room), 0);
    const std::size_t queued = 180 << 10;
    pair.send(concat(header(0, static_cast<std::uint32_t>(queued - 8)), Bytes(queued - 8, 4)));
    auto head = pair.client->fill(8);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->size(), ReadWriteConnection::kReadAhead);

    // Wanting more than the read-ahead asks for exactly the rest.
    auto whole = pair.client->fill(queued);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->size(), queued);
}

// --- the receive buffer and gathered writes -------------------------------------------------

TEST(FrameRead, FramesArrivingTogetherAreReadOneAfterTheOther) {
    SocketPair pair;
    // Two replies and the start of a third in one send: what is read ahead is kept, not lost.
    pair.send(concat(concat(concat(header(0, 3), Bytes{1, 2, 3}), concat(header(7, 0), {})),
                     concat(header(2, 4), Bytes{9})));
    auto first = next_frame(*pair.client);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->word, 0u);
    EXPECT_EQ(body_of(*first), (Bytes{1, 2, 3}));
    auto second = next_frame(*pair.client);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->word, 7u);
    EXPECT_TRUE(second->body.empty());
    pair.send({8, 8, 8});
    auto third = next_frame(*pair.client);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->word, 2u);
    EXPECT_EQ(body_of(*third), (Bytes{9, 8, 8, 8}));
}

TEST(FrameRead, ReadExactServesBytesReceivedAheadFirst) {
    SocketPair pair;
    pair.send(concat(header(0, 2), Bytes{5, 6, 7, 8, 9}));
    auto frame = next_frame(*pair.client);
    ASSERT_TRUE(frame);
    EXPECT_EQ(body_of(*frame), (Bytes{5, 6}));
    pair.send({10});
    Bytes rest(4);
    ASSERT_TRUE(pair.client->read_exact(rest.data(), rest.size()));
    EXPECT_EQ(rest, (Bytes{7, 8, 9, 10}));
}

TEST(FrameRead, LargeThenSmallRepliesOnOneConnection) {
    SocketPair pair;
    const std::size_t large = (std::size_t{1} << 20) * 5 + 3;
    Bytes big(large);
    for (std::size_t i = 0; i < large; ++i) big[i] = static_cast<std::uint8_t>(i * 13);
    std::thread writer([&] {
        pair.send(concat(header(0, static_cast<std::uint32_t>(large)), big));
        pair.send(concat(header(1, 2), Bytes{4, 2}));
        pair.send(concat(header(0, static_cast<std::uint32_t>(large)), big));
    });
    for (const auto& [status, body] :
         std::vector<std::pair<std::uint32_t, Bytes>>{{0, big}, {1, Bytes{4, 2}}, {0, big}}) {
        auto frame = next_frame(*pair.client);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->word, status);
        EXPECT_TRUE(std::equal(frame->body.begin(), frame->body.end(), body.begin(), body.end()));
        pair.client->release_spare_memory();  // below the retained size: nothing to give back
    }
    writer.join();
}

TEST(FrameRead, AFailedReadForgetsWhatWasPending) {
    SocketPair pair;
    pair.send(concat(header(0, 100), Bytes(10, 1)));
    pair.peer.reset();
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto frame = next_frame(*pair.client);
        ASSERT_FALSE(frame);
        EXPECT_EQ(frame.error().message, "failed to fill whole buffer");
    }
}

TEST(ReceiveBuffer, GrowsOnlyWhenFullAndGivesBackWhatIsOversized) {
    ReceiveBuffer buffer;
    const std::size_t huge = std::size_t{200} << 20;
    // A small first read gets the minimum; a huge announcement does not change that.
    EXPECT_EQ(buffer.room_for(8).size(), ReceiveBuffer::kMinCapacity);
    EXPECT_EQ(buffer.room_for(huge).size(), ReceiveBuffer::kMinCapacity);
    buffer.received(100);
    EXPECT_EQ(buffer.room_for(huge).size(), ReceiveBuffer::kMinCapacity - 100);  // room left
    buffer.received(ReceiveBuffer::kMinCapacity - 100);
    // Full: up to the first chunk, then doubling, never past what is wanted.
    buffer.room_for(huge);
    EXPECT_EQ(buffer.capacity(), ReceiveBuffer::kFirstChunk);
    buffer.received(buffer.capacity() - ReceiveBuffer::kMinCapacity);
    buffer.room_for(3 * ReceiveBuffer::kFirstChunk / 2);
    EXPECT_EQ(buffer.capacity(), 3 * ReceiveBuffer::kFirstChunk / 2);
    while (buffer.capacity() <= ReceiveBuffer::kRetainedCapacity) {
        buffer.received(buffer.capacity() - buffer.pending().size());
        const std::size_t before = buffer.capacity();
        buffer.room_for(huge);
        EXPECT_EQ(buffer.capacity(), std::min(huge, 2 * before));
    }
    // Pending bytes keep an oversized buffer; once consumed it is given back.
    buffer.trim();
    EXPECT_GT(buffer.capacity(), ReceiveBuffer::kRetainedCapacity);
    buffer.consume(buffer.pending().size());
    buffer.trim();
    EXPECT_EQ(buffer.capacity(), 0u);
    // A buffer within the retained size is kept.
    buffer.room_for(8);
    buffer.received(8);
    buffer.consume(8);
    buffer.trim();
    EXPECT_EQ(buffer.capacity(), ReceiveBuffer::kMinCapacity);
}

TEST(ReceiveBuffer, ConsumedFrontMovesDownBeforeGrowing) {
    ReceiveBuffer buffer;
    auto room = buffer.room_for(16);
    for (std::size_t i = 0; i < room.size(); ++i) room[i] = static_cast<std::uint8_t>(i);
    buffer.received(room.size());
    buffer.consume(room.size() - 3);  // three bytes of the next frame are left
    buffer.room_for(10);
    EXPECT_EQ(buffer.capacity(), ReceiveBuffer::kMinCapacity);
    const auto left = buffer.pending();
    const std::size_t n = ReceiveBuffer::kMinCapacity;
    EXPECT_EQ(Bytes(left.begin(), left.end()),
              (Bytes{static_cast<std::uint8_t>(n - 3), static_cast<std::uint8_t>(n - 2),
                     static_cast<std::uint8_t>(n - 1)}));
}

TEST(FrameWrite, GatheredPayloadIsTheContiguousFrame) {
    // More pieces than one system call takes, one of them large enough for partial sends.
    std::vector<Bytes> pieces;
    for (int i = 0; i < 40; ++i) pieces.push_back(Bytes(static_cast<std::size_t>(i % 5), i));
    pieces[17] = Bytes(3 << 20, 0x77);
    Bytes joined;
    std::vector<std::span<const std::uint8_t>> views;
    for (const Bytes& piece : pieces) {
        joined.insert(joined.end(), piece.begin(), piece.end());
        views.push_back(piece);
    }
    SocketPair pair;
    Bytes received;
    std::thread reader([&] { received = pair.receive(12 + joined.size()); });
    auto sent = write_request(*pair.client, 9, FrameOp::InferStream, views, joined.size());
    reader.join();
    ASSERT_TRUE(sent);
    Bytes expected(12);
    encode_request_header(expected.data(), 9, FrameOp::InferStream,
                          static_cast<std::uint32_t>(joined.size()));
    EXPECT_EQ(received, concat(expected, joined));

    // A short list leaves with the header; sizes that cannot be framed are refused unsent.
    SocketPair small;
    const Bytes a{1, 2}, b{3};
    const std::span<const std::uint8_t> two[] = {a, b};
    ASSERT_TRUE(write_request(*small.client, 1, FrameOp::Infer, two, 3));
    EXPECT_EQ(small.receive(15), concat(Bytes{1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0}, Bytes{1, 2, 3}));
    auto refused = write_request(*small.client, 1, FrameOp::Infer, two, kMaxFramePayload + 1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(
        refused.error().message,
        "request payload of 4294967296 bytes does not fit a frame (at most 4294967295 bytes)");
}

}  // namespace
}  // namespace zelto::transport
