// The frame reader over a real byte stream: the input (after a mode byte) is everything an
// engine writes on a connection before it stops writing. Mode bit 0 clear reads stream frames
// the way a StreamIterator does (next_stream_item); set, it reads unary replies (read_reply,
// decode_reply) one after another.
//
// Properties, for any input:
//   - every frame and every decoded item or error is exactly what the bytes say (the frame
//     layout is simple enough to restate here), and a cut frame is "failed to fill whole buffer";
//   - memory follows the bytes that really arrived, not the announced body_len: the largest heap
//     block of one read is at most the connection's least receive buffer (64 KiB), the first
//     1 MiB reservation, or a small multiple of what followed the header.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/little_endian.hpp"
#include "common/utf8.hpp"
#include "engine_api/tensor_packet.hpp"
#include "sdk/socket_client.hpp"
#include "support/allocation_watch.hpp"
#include "support/fuzz_check.hpp"
#include "support/peer_bytes.hpp"
#include "transport/connection.hpp"
#include "transport/frame.hpp"
#include "transport/receive_buffer.hpp"

namespace {

using zelto::load_le;
using zelto::engine_api::decode_tensor_packet;
using zelto::sdk::StreamStep;
using zelto::transport::ReadWriteConnection;

constexpr std::size_t kFirstReservation = std::size_t{1} << 20;
// A body may be held twice while decoding (frame and packet), and an error text triples when
// every byte is invalid and becomes U+FFFD, in a string that may have doubled its capacity;
// anything sized by body_len itself (up to 4 GiB) is far beyond this.
constexpr std::size_t kArrivedFactor = 8;
constexpr std::size_t kSlack = 256;
constexpr const char* kCutFrame = "failed to fill whole buffer";

// What the next frame on the remaining bytes is.
struct ExpectedFrame {
    bool complete = false;  // false: the peer stopped writing inside this frame
    std::uint32_t word = 0;
    std::span<const std::uint8_t> body;
    std::size_t allowed_allocation = zelto::transport::ReceiveBuffer::kMinCapacity + kSlack;
};

ExpectedFrame expect_frame(std::span<const std::uint8_t> rest) {
    ExpectedFrame frame;
    if (rest.size() < zelto::transport::kReplyHeaderSize) return frame;
    frame.word = load_le<std::uint32_t>(rest.data());
    const std::uint32_t length = load_le<std::uint32_t>(rest.data() + 4);
    const std::size_t arrived = rest.size() - zelto::transport::kReplyHeaderSize;
    frame.allowed_allocation =
        std::max({zelto::transport::ReceiveBuffer::kMinCapacity,
                  std::min<std::size_t>(length, kFirstReservation), kArrivedFactor * arrived}) +
        kSlack;
    if (length > arrived) return frame;
    frame.complete = true;
    frame.body = rest.subspan(zelto::transport::kReplyHeaderSize, length);
    return frame;
}

void check_allocation(const zelto::fuzz::AllocationWatch& watch, const ExpectedFrame& frame) {
    FUZZ_CHECK(watch.largest() <= frame.allowed_allocation,
               "one read allocated " + std::to_string(watch.largest()) + " bytes, allowed " +
                   std::to_string(frame.allowed_allocation));
}

// Returns false when the stream has ended or broken and nothing more can be read.
bool check_stream_item(ReadWriteConnection& connection, std::span<const std::uint8_t>& rest) {
    const ExpectedFrame frame = expect_frame(rest);
    StreamStep step;
    {
        zelto::fuzz::AllocationWatch watch;
        step = zelto::sdk::next_stream_item(connection);
        check_allocation(watch, frame);
    }
    if (!frame.complete) {
        FUZZ_CHECK(step.kind == StreamStep::Kind::Error && step.message == kCutFrame,
                   "cut frame gave: " + step.message);
        return false;
    }
    rest = rest.subspan(zelto::transport::kReplyHeaderSize + frame.body.size());
    if (frame.body.empty() || (frame.word != 1 && frame.word != 2)) {
        FUZZ_CHECK(step.kind == StreamStep::Kind::End, "frame should have ended the stream");
        return false;
    }
    if (frame.word == 1) {
        FUZZ_CHECK(step.kind == StreamStep::Kind::Error &&
                       step.message == zelto::utf8_lossy(frame.body.data(), frame.body.size()),
                   "error frame text");
        return true;
    }
    auto packet = decode_tensor_packet(frame.body);
    if (packet) {
        FUZZ_CHECK(step.kind == StreamStep::Kind::Item && step.data == packet->data,
                   "data frame item: " + step.message);
    } else {
        FUZZ_CHECK(step.kind == StreamStep::Kind::Error && step.message == packet.error().message,
                   "undecodable data frame: " + step.message);
    }
    return true;
}

bool check_reply(ReadWriteConnection& connection, std::span<const std::uint8_t>& rest) {
    const ExpectedFrame frame = expect_frame(rest);
    zelto::fuzz::AllocationWatch watch;
    auto reply = zelto::transport::read_reply(connection);
    check_allocation(watch, frame);
    if (!frame.complete) {
        FUZZ_CHECK(!reply && reply.error().kind == zelto::IoErrorKind::UnexpectedEof &&
                       reply.error().message == kCutFrame,
                   "cut reply gave: " + (reply ? std::string("a frame") : reply.error().message));
        return false;
    }
    FUZZ_CHECK(reply && reply->status == frame.word &&
                   std::equal(reply->body.begin(), reply->body.end(), frame.body.begin(),
                              frame.body.end()),
               "reply frame differs from the bytes sent");
    rest = rest.subspan(zelto::transport::kReplyHeaderSize + frame.body.size());

    using Kind = zelto::transport::ReplyError::Kind;
    auto decoded = zelto::transport::decode_reply(reply->status, reply->body);
    if (reply->status != 0) {
        FUZZ_CHECK(
            !decoded && decoded.error().kind == Kind::Remote &&
                decoded.error().message == zelto::utf8_lossy(frame.body.data(), frame.body.size()),
            "error reply text");
        return true;
    }
    auto packet = decode_tensor_packet(frame.body);
    if (packet) {
        FUZZ_CHECK(decoded && decoded->data == packet->data && decoded->shape == packet->shape,
                   "success reply packet");
    } else {
        FUZZ_CHECK(!decoded && decoded.error().kind == Kind::Protocol &&
                       decoded.error().message == packet.error().message,
                   "undecodable success reply");
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool unary_replies = (data[0] & 1) != 0;
    const std::span<const std::uint8_t> stream(data + 1, size - 1);

    auto sockets = zelto::fuzz::make_socket_pair();
    const std::size_t delivered = zelto::fuzz::send_then_stop_writing(sockets.peer.get(), stream);
    ReadWriteConnection connection(std::move(sockets.reader));

    // Only what the socket accepted reaches the reader; that prefix is what the frames must match.
    std::span<const std::uint8_t> rest = stream.first(delivered);
    while (unary_replies ? check_reply(connection, rest) : check_stream_item(connection, rest)) {
    }
    return 0;
}
