// The frame readers over a real byte stream: the input (after a mode byte) is everything an
// engine writes on a connection before it stops writing.
//
// Mode byte:
//   bit 0 clear: stream frames, read the way a StreamIterator does (next_stream_item);
//         set:   unary replies, one after another;
//   bit 1 clear: without a data destination, and unary replies through read_reply + decode_reply;
//         set:   the client's own readers with memory of the caller's to receive large data into,
//                as the Python layer passes its result bytes (next_stream_item with a
//                destination, read_unary_reply);
//   bit 2 set:   the next 6 bytes widen the input: a little-endian u32 gives a count (modulo
//                kMaxFill + 1) of pattern bytes inserted at the position a u16 gives (modulo the
//                rest's length + 1). So a few kilobytes of input reach data of a megabyte and
//                more, the size from which data may be received straight into that memory.
//
// Properties, for any input:
//   - every frame and every decoded item or error is exactly what the bytes say (the frame
//     layout is simple enough to restate here), and a cut frame is "failed to fill whole buffer";
//   - memory follows the bytes that really arrived, not the announced body_len: the largest heap
//     block of one read is at most the connection's least receive buffer (64 KiB), the first
//     1 MiB reservation, or a small multiple of what followed the header;
//   - the caller's memory is asked for at most once per frame and for at most twice what the
//     connection has been allowed to hold so far, whatever a packet announces; a tensor given to
//     the sink after that ask has its data there, exactly as many bytes as were asked for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/little_endian.hpp"
#include "common/utf8.hpp"
#include "engine_api/tensor_packet.hpp"
#include "sdk/client_error.hpp"
#include "sdk/socket_client.hpp"
#include "sdk/unary_reply.hpp"
#include "support/allocation_watch.hpp"
#include "support/fuzz_check.hpp"
#include "support/peer_bytes.hpp"
#include "transport/connection.hpp"
#include "transport/frame.hpp"
#include "transport/receive_buffer.hpp"

namespace {

using zelto::load_le;
using zelto::engine_api::decode_tensor_packet;
using zelto::sdk::ClientError;
using zelto::sdk::StreamStep;
using zelto::transport::ReadWriteConnection;

constexpr std::size_t kFirstReservation = std::size_t{1} << 20;
// A body may be held twice while decoding (frame and packet), and an error text triples when
// every byte is invalid and becomes U+FFFD, in a string that may have doubled its capacity;
// anything sized by body_len itself (up to 4 GiB) is far beyond this.
constexpr std::size_t kArrivedFactor = 8;
constexpr std::size_t kSlack = 256;
constexpr const char* kCutFrame = "failed to fill whole buffer";
// The most pattern bytes mode bit 2 inserts: past twice the size from which data may be received
// straight into the caller's memory, and small enough for the socket to take a whole input.
constexpr std::size_t kMaxFill = (std::size_t{2} << 20) + (std::size_t{64} << 10);

// The input after the mode byte, widened by pattern bytes as mode bit 2 asks.
std::vector<std::uint8_t> widen(std::span<const std::uint8_t> input) {
    if (input.size() < 6) return {input.begin(), input.end()};
    const std::size_t count = load_le<std::uint32_t>(input.data()) % (kMaxFill + 1);
    const auto rest = input.subspan(6);
    const std::size_t at = load_le<std::uint16_t>(input.data() + 4) % (rest.size() + 1);
    std::vector<std::uint8_t> out(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(at));
    out.reserve(rest.size() + count);
    for (std::size_t i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(i * 251 + 7));
    out.insert(out.end(), rest.begin() + static_cast<std::ptrdiff_t>(at), rest.end());
    return out;
}

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

// Memory of the caller's that the client's readers may ask to receive large data into, as the
// Python layer offers its result bytes. Allocated once, outside every allocation watch, and large
// enough for any ask the properties allow.
class CallerMemory {
  public:
    static constexpr std::size_t kCapacity = std::size_t{64} << 20;

    // Before each read: the connection may have held up to `allowed` bytes by its end.
    void start_frame(std::size_t allowed) {
        allowed_so_far_ = std::max(allowed_so_far_, allowed);
        asked_.reset();
    }

    std::span<std::uint8_t> ask(std::size_t length) {
        FUZZ_CHECK(!asked_, "the caller's memory was asked for twice in one frame");
        FUZZ_CHECK(length <= 2 * allowed_so_far_,
                   "asked for " + std::to_string(length) + " bytes, allowed " +
                       std::to_string(2 * allowed_so_far_));
        asked_ = length;
        return {bytes_.get(), length};
    }

    // A tensor the sink was given after an ask has its data in the memory asked for.
    void check_delivered(std::span<const std::uint8_t> data) const {
        FUZZ_CHECK(!asked_ || (data.data() == bytes_.get() && data.size() == *asked_),
                   "data of " + std::to_string(data.size()) +
                       " bytes given outside the memory asked for");
    }

    void forget_connection() { allowed_so_far_ = 0; }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_{new std::uint8_t[kCapacity]};
    std::size_t allowed_so_far_ = 0;
    std::optional<std::size_t> asked_;
};

// One connection's reading, frame after frame, in the way the mode byte chose.
struct Reading {
    ReadWriteConnection& connection;
    std::span<const std::uint8_t> rest;  // what is still to be read
    CallerMemory* memory;                // the client's readers with a destination; else none
};

// Returns false when the stream has ended or broken and nothing more can be read.
bool check_stream_item(Reading& reading) {
    const ExpectedFrame frame = expect_frame(reading.rest);
    StreamStep step;
    {
        zelto::fuzz::AllocationWatch watch;
        if (CallerMemory* memory = reading.memory) {
            memory->start_frame(frame.allowed_allocation);
            std::vector<std::uint8_t> item;
            step = zelto::sdk::next_stream_item(
                reading.connection,
                [&](std::span<const std::uint8_t> data) {
                    memory->check_delivered(data);
                    item.assign(data.begin(), data.end());
                },
                [&](std::size_t length) { return memory->ask(length); });
            step.data = std::move(item);
        } else {
            step = zelto::sdk::next_stream_item(reading.connection);
        }
        check_allocation(watch, frame);
    }
    if (!frame.complete) {
        FUZZ_CHECK(step.kind == StreamStep::Kind::Error && step.message == kCutFrame,
                   "cut frame gave: " + step.message);
        return false;
    }
    reading.rest = reading.rest.subspan(zelto::transport::kReplyHeaderSize + frame.body.size());
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

// A unary reply through read_reply and decode_reply, the frame and packet readers themselves.
bool check_reply(Reading& reading) {
    const ExpectedFrame frame = expect_frame(reading.rest);
    zelto::fuzz::AllocationWatch watch;
    auto reply = zelto::transport::read_reply(reading.connection);
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
    reading.rest = reading.rest.subspan(zelto::transport::kReplyHeaderSize + frame.body.size());

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

// A unary reply the way ZeltoClient reads it (read_unary_reply), with the caller's memory.
bool check_client_reply(Reading& reading) {
    CallerMemory& memory = *reading.memory;
    const ExpectedFrame frame = expect_frame(reading.rest);
    memory.start_frame(frame.allowed_allocation);
    std::optional<zelto::engine_api::BinaryTensorPacket> delivered;
    zelto::Result<void, ClientError> outcome;
    {
        zelto::fuzz::AllocationWatch watch;
        outcome = zelto::sdk::read_unary_reply(
            reading.connection,
            [&](const zelto::engine_api::TensorPacketView& packet) {
                FUZZ_CHECK(!delivered, "the sink was called twice for one reply");
                memory.check_delivered(packet.data());
                delivered = packet.to_owned();
            },
            [&](std::size_t length) { return memory.ask(length); });
        check_allocation(watch, frame);
    }
    const std::string what = outcome ? std::string("success") : outcome.error().message;
    if (!frame.complete) {
        FUZZ_CHECK(!outcome && outcome.error().kind == ClientError::Kind::Io &&
                       outcome.error().message == kCutFrame && !delivered,
                   "cut reply gave: " + what);
        return false;
    }
    reading.rest = reading.rest.subspan(zelto::transport::kReplyHeaderSize + frame.body.size());
    if (frame.word != 0) {
        FUZZ_CHECK(!outcome && outcome.error().kind == ClientError::Kind::Remote &&
                       outcome.error().message ==
                           zelto::utf8_lossy(frame.body.data(), frame.body.size()) &&
                       !delivered,
                   "error reply gave: " + what);
        return true;
    }
    auto packet = decode_tensor_packet(frame.body);
    if (packet) {
        FUZZ_CHECK(outcome && delivered && delivered->data == packet->data &&
                       delivered->shape == packet->shape && delivered->dtype == packet->dtype,
                   "success reply gave: " + what);
    } else {
        FUZZ_CHECK(!outcome && outcome.error().kind == ClientError::Kind::Protocol &&
                       outcome.error().message == packet.error().message && !delivered,
                   "undecodable success reply gave: " + what);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool unary_replies = (data[0] & 1) != 0;
    const bool client_readers = (data[0] & 2) != 0;
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    const std::vector<std::uint8_t> stream =
        (data[0] & 4) != 0 ? widen(input) : std::vector<std::uint8_t>(input.begin(), input.end());

    static CallerMemory memory;  // made at the first input, before any watch opens
    memory.forget_connection();

    auto sockets = zelto::fuzz::make_socket_pair();
    const std::size_t delivered = zelto::fuzz::send_then_stop_writing(sockets.peer.get(), stream);
    ReadWriteConnection connection(std::move(sockets.reader));

    // Only what the socket accepted reaches the reader; that prefix is what the frames must match.
    Reading reading{connection, std::span<const std::uint8_t>(stream).first(delivered),
                    client_readers ? &memory : nullptr};
    if (!unary_replies) {
        while (check_stream_item(reading)) {
        }
    } else if (client_readers) {
        while (check_client_reply(reading)) {
        }
    } else {
        while (check_reply(reading)) {
        }
    }
    return 0;
}
