#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.hpp"
#include "common/utf8.hpp"
#include "engine_api/tensor_packet.hpp"
#include "sdk/socket/socket_client.hpp"
#include "sdk/socket/unary_reply.hpp"

namespace zelto::sdk {
namespace {

using Bytes = std::vector<std::uint8_t>;
using transport::ReadWriteConnection;

void put_u32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put_u64(Bytes& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A payload's head: shape [2, n / 2], dtype "u8", raw data of `announced` bytes.
Bytes plain_head(std::uint64_t announced) {
    Bytes head;
    put_u64(head, 2);
    put_u64(head, 2);
    put_u64(head, announced / 2);
    put_u64(head, 2);
    head.push_back('u');
    head.push_back('8');
    head.push_back(1);
    put_u64(head, announced);
    return head;
}

Bytes pattern(std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 4099);
    return data;
}

// A frame with `word` (reply status or stream frame kind) whose body is head, data, tail.
Bytes frame_of(std::uint32_t word, const Bytes& data, const Bytes& tail) {
    const Bytes head = plain_head(data.size());
    Bytes frame;
    put_u32(frame, word);
    put_u32(frame, static_cast<std::uint32_t>(head.size() + data.size() + tail.size()));
    frame.insert(frame.end(), head.begin(), head.end());
    frame.insert(frame.end(), data.begin(), data.end());
    frame.insert(frame.end(), tail.begin(), tail.end());
    return frame;
}

// A reply frame with status 0 whose body is head, data, tail.
Bytes reply(const Bytes& data, const Bytes& tail) {
    return frame_of(0, data, tail);
}

// The client's end of a socket pair; the peer's bytes are sent from a thread of their own, as
// replies larger than the socket's buffer need, and the peer's end is closed after them.
struct Exchange {
    explicit Exchange(Bytes bytes) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client = std::make_unique<ReadWriteConnection>(UniqueFd(fds[0]));
        writer = std::thread([peer = UniqueFd(fds[1]), bytes = std::move(bytes)] {
            std::size_t sent = 0;
            while (sent < bytes.size()) {
                const ssize_t n =
                    ::send(peer.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) return;  // the client gave up first
                sent += static_cast<std::size_t>(n);
            }
        });
    }
    ~Exchange() {
        client.reset();  // a writer still blocked in send gets EPIPE
        writer.join();
    }
    std::unique_ptr<ReadWriteConnection> client;
    std::thread writer;
};

// What one read_unary_reply gave: the error or the data, where the data lay, and what the
// destination was asked for.
struct Outcome {
    std::optional<ClientError> error;
    Bytes data;
    std::vector<std::int64_t> shape;
    bool data_in_destination = false;
    std::vector<std::size_t> asked;
};

Outcome read_one_reply(ReadWriteConnection& connection, bool accept = true) {
    Outcome outcome;
    Bytes destination;
    auto done = read_unary_reply(
        connection,
        [&](const engine_api::TensorPacketView& packet) {
            outcome.data.assign(packet.data().begin(), packet.data().end());
            for (std::size_t i = 0; i < packet.rank(); ++i) outcome.shape.push_back(packet.dim(i));
            outcome.data_in_destination =
                !destination.empty() && packet.data().data() == destination.data();
        },
        [&](std::size_t size) -> std::span<std::uint8_t> {
            outcome.asked.push_back(size);
            if (!accept) return {};
            destination.resize(size);
            return destination;
        });
    if (!done) outcome.error = done.error();
    return outcome;
}

// Without and with the spin before blocking that connections to a local engine get.
class UnaryReplyWaits : public testing::TestWithParam<bool> {};

TEST_P(UnaryReplyWaits, LargeDataIsReceivedIntoTheDestinationAndTheStreamStaysAligned) {
    const Bytes data = pattern((3 << 20) + 5);
    const Bytes small = pattern(10);
    Bytes bytes = reply(data, {0, 9, 9});  // no base64 text, then bytes the decoder ignores
    const Bytes next = reply(small, {0});
    bytes.insert(bytes.end(), next.begin(), next.end());
    Exchange exchange(std::move(bytes));
    exchange.client->set_reply_wait(GetParam() ? idle::kLocalSocketReply
                                               : idle::kRemoteSocketReply);

    Outcome large = read_one_reply(*exchange.client);
    ASSERT_FALSE(large.error) << large.error->message;
    EXPECT_EQ(large.asked, std::vector<std::size_t>{data.size()});
    EXPECT_TRUE(large.data_in_destination);
    EXPECT_EQ(large.data, data);
    EXPECT_EQ(large.shape,
              (std::vector<std::int64_t>{2, static_cast<std::int64_t>(data.size() / 2)}));

    Outcome next_reply = read_one_reply(*exchange.client);  // below the threshold: never asked
    ASSERT_FALSE(next_reply.error) << next_reply.error->message;
    EXPECT_TRUE(next_reply.asked.empty());
    EXPECT_EQ(next_reply.data, small);
}

INSTANTIATE_TEST_SUITE_P(BlockingAndSpinning, UnaryReplyWaits, testing::Bool());

TEST(UnaryReply, DeclinedDestinationReadsTheReplyWhole) {
    const Bytes data = pattern(kDirectReceiveMinimum);
    Exchange exchange(reply(data, {0}));
    Outcome outcome = read_one_reply(*exchange.client, /*accept=*/false);
    ASSERT_FALSE(outcome.error) << outcome.error->message;
    EXPECT_EQ(outcome.asked, std::vector<std::size_t>{data.size()});
    EXPECT_FALSE(outcome.data_in_destination);
    EXPECT_EQ(outcome.data, data);
}

// Malformed bodies with large data fail with exactly the decoder's text for the whole body.
TEST(UnaryReply, MalformedTailsFailAsTheDecoderSays) {
    const Bytes data = pattern(2 << 20);
    const std::vector<Bytes> tails = {
        {1, 4, 0, 0, 0, 0, 0, 0, 0, 'A', 'A', '=', '='},  // base64 text as well
        {7},                                              // not a tag
        {1, 200, 0, 0, 0, 0, 0, 0, 0},                    // text announced, missing
        {},                                               // no tag at all after the data
    };
    for (const Bytes& tail : tails) {
        const Bytes frame = reply(data, tail);
        const auto expected =
            engine_api::decode_tensor_packet_view(std::span<const std::uint8_t>(frame).subspan(8));
        ASSERT_FALSE(expected);
        Exchange exchange(frame);
        Outcome outcome = read_one_reply(*exchange.client);
        ASSERT_TRUE(outcome.error) << "tail of " << tail.size();
        EXPECT_EQ(outcome.error->kind, ClientError::Kind::Protocol);
        EXPECT_EQ(outcome.error->message, expected.error().message);
        EXPECT_EQ(outcome.asked.size(), tail.empty() ? 0u : 1u);
    }
}

// A non-zero status makes the body the error text (invalid UTF-8 replaced), a success body that
// does not decode is a Protocol error, and bytes after a packet are ignored; every one of these
// leaves the connection on the next frame.
TEST(UnaryReply, StatusDecidesBetweenPacketAndText) {
    const auto raw_frame = [](std::uint32_t status, const Bytes& body) {
        Bytes frame;
        put_u32(frame, status);
        put_u32(frame, static_cast<std::uint32_t>(body.size()));
        frame.insert(frame.end(), body.begin(), body.end());
        return frame;
    };
    const Bytes packet = {
        0,   0,   0, 0, 0, 0, 0, 0, 2, 0, 0, 0,  0, 0,    0,   0,
        'u', '8', 1, 1, 0, 0, 0, 0, 0, 0, 0, 42, 0, 0xEE, 0xEE};  // trailing bytes ignored
    struct Failure {
        Bytes frame;
        ClientError::Kind kind;
        std::string message;
    };
    const std::vector<Failure> failures = {
        {raw_frame(5, {'m', 'o', 'd', 'e', 'l', ' ', '7'}), ClientError::Kind::Remote, "model 7"},
        {raw_frame(1, {0xFF, 0x41}), ClientError::Kind::Remote,
         "\xEF\xBF\xBD"
         "A"},
        {raw_frame(0, {}), ClientError::Kind::Protocol, "io error: unexpected end of file"},
    };
    Bytes bytes;
    for (const Failure& failure : failures) {
        bytes.insert(bytes.end(), failure.frame.begin(), failure.frame.end());
    }
    const Bytes last = raw_frame(0, packet);
    bytes.insert(bytes.end(), last.begin(), last.end());
    Exchange exchange(std::move(bytes));

    for (const Failure& failure : failures) {
        Outcome failed = read_one_reply(*exchange.client);
        ASSERT_TRUE(failed.error) << failure.message;
        EXPECT_EQ(failed.error->kind, failure.kind) << failure.message;
        EXPECT_EQ(failed.error->message, failure.message);
        EXPECT_TRUE(failed.asked.empty());
    }
    Outcome ok = read_one_reply(*exchange.client);
    ASSERT_FALSE(ok.error) << ok.error->message;
    EXPECT_EQ(ok.data, (Bytes{42}));
    EXPECT_TRUE(ok.asked.empty());
    EXPECT_TRUE(ok.shape.empty());  // rank 0
}

// An engine that announces 4 GiB of data and sends 3 MiB before closing gets no destination
// asked for and no buffer beyond about twice what it sent.
TEST(UnaryReply, HugeAnnouncementCostsOnlyWhatArrived) {
    const std::uint32_t body_length = 0xFFFFFFFFu;
    const Bytes head = plain_head(body_length - 64);
    Bytes bytes;
    put_u32(bytes, 0);
    put_u32(bytes, body_length);
    bytes.insert(bytes.end(), head.begin(), head.end());
    const Bytes some = pattern(3 << 20);
    bytes.insert(bytes.end(), some.begin(), some.end());
    Exchange exchange(std::move(bytes));

    Outcome outcome = read_one_reply(*exchange.client);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->kind, ClientError::Kind::Io);
    EXPECT_EQ(outcome.error->message, "failed to fill whole buffer");
    EXPECT_TRUE(outcome.asked.empty());
    EXPECT_LE(exchange.client->receive_capacity(), std::size_t{8} << 20);
}

// Once the buffer is as large as half the data, later replies go straight to the destination,
// and a failure half way through the data is an I/O error.
TEST(UnaryReply, ReplyCutShortInsideTheDataIsAnIoError) {
    const Bytes data = pattern(4 << 20);
    Bytes bytes = reply(data, {0});
    const Bytes second = reply(data, {0});
    bytes.insert(bytes.end(), second.begin(),
                 second.begin() + static_cast<std::ptrdiff_t>(second.size() / 2));
    Exchange exchange(std::move(bytes));

    Outcome first = read_one_reply(*exchange.client);
    ASSERT_FALSE(first.error) << first.error->message;
    EXPECT_TRUE(first.data_in_destination);
    Outcome cut = read_one_reply(*exchange.client);
    ASSERT_TRUE(cut.error);
    EXPECT_EQ(cut.error->kind, ClientError::Kind::Io);
    EXPECT_EQ(cut.error->message, "failed to fill whole buffer");
    EXPECT_EQ(cut.asked, std::vector<std::size_t>{data.size()});
}

// What one next_stream_item gave, and what the destination was asked for.
struct StreamOutcome {
    StreamStep step;
    Bytes data;
    bool data_in_destination = false;
    std::vector<std::size_t> asked;
};

StreamOutcome read_item(ReadWriteConnection& connection) {
    StreamOutcome outcome;
    Bytes destination;
    outcome.step = next_stream_item(
        connection,
        [&](std::span<const std::uint8_t> data) {
            outcome.data.assign(data.begin(), data.end());
            outcome.data_in_destination = !destination.empty() && data.data() == destination.data();
        },
        [&](std::size_t size) -> std::span<std::uint8_t> {
            outcome.asked.push_back(size);
            destination.resize(size);
            return destination;
        });
    return outcome;
}

// Stream items take the same way as replies: large raw data straight into the destination,
// everything else read whole with the texts as before, the stream aligned after each frame.
TEST(StreamItemReceive, LargeDataGoesToTheDestinationAndEveryOtherFrameReadsAsBefore) {
    const Bytes data = pattern((2 << 20) + 3);
    const Bytes small = pattern(10);
    const std::vector<Bytes> frames = {
        frame_of(2, data, {0}),   // an item
        frame_of(2, data, {7}),   // malformed: not a tag after the data
        frame_of(1, data, {0}),   // an error text, however it looks
        frame_of(9, data, {0}),   // an unknown kind ends the stream
        frame_of(2, small, {0}),  // a small item
        frame_of(2, data, {0}),   // cut short below
    };
    Bytes bytes;
    for (const Bytes& frame : frames) bytes.insert(bytes.end(), frame.begin(), frame.end());
    bytes.resize(bytes.size() - data.size() / 2);
    Exchange exchange(std::move(bytes));

    StreamOutcome item = read_item(*exchange.client);
    EXPECT_EQ(item.step.kind, StreamStep::Kind::Item);
    EXPECT_EQ(item.asked, std::vector<std::size_t>{data.size()});
    EXPECT_TRUE(item.data_in_destination);
    EXPECT_EQ(item.data, data);

    const auto decoded =
        engine_api::decode_tensor_packet_view(std::span<const std::uint8_t>(frames[1]).subspan(8));
    ASSERT_FALSE(decoded);
    StreamOutcome malformed = read_item(*exchange.client);
    EXPECT_EQ(malformed.step.kind, StreamStep::Kind::Error);
    EXPECT_EQ(malformed.step.message, decoded.error().message);

    StreamOutcome error = read_item(*exchange.client);
    EXPECT_EQ(error.step.kind, StreamStep::Kind::Error);
    EXPECT_EQ(error.step.message, utf8_lossy(frames[2].data() + 8, frames[2].size() - 8));
    EXPECT_TRUE(error.asked.empty());

    StreamOutcome end = read_item(*exchange.client);
    EXPECT_EQ(end.step.kind, StreamStep::Kind::End);
    EXPECT_TRUE(end.asked.empty());

    StreamOutcome next = read_item(*exchange.client);
    EXPECT_EQ(next.step.kind, StreamStep::Kind::Item);
    EXPECT_TRUE(next.asked.empty());
    EXPECT_EQ(next.data, small);

    StreamOutcome cut = read_item(*exchange.client);
    EXPECT_EQ(cut.step.kind, StreamStep::Kind::Error);
    EXPECT_EQ(cut.step.message, "failed to fill whole buffer");
    EXPECT_EQ(cut.asked, std::vector<std::size_t>{data.size()});
}

}  // namespace
}  // namespace zelto::sdk
