#include "support/frame_reading.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/little_endian.hpp"
#include "common/utf8.hpp"
#include "engine_api/tensor_packet.hpp"
#include "sdk/socket/client_error.hpp"
#include "sdk/socket/packet_receive.hpp"
#include "sdk/socket/socket_client.hpp"
#include "sdk/socket/unary_reply.hpp"
#include "support/allocation_watch.hpp"
#include "support/fuzz_check.hpp"
#include "support/peer_bytes.hpp"
#include "transport/connection.hpp"
#include "transport/frame.hpp"
#include "transport/receive_buffer.hpp"

namespace zelto::fuzz {
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

void check_allocation(const AllocationWatch& watch, const ExpectedFrame& frame) {
    FUZZ_CHECK(watch.largest() <= frame.allowed_allocation,
               "one read allocated " + std::to_string(watch.largest()) + " bytes, allowed " +
                   std::to_string(frame.allowed_allocation));
}

// Memory of the caller's that the client's readers may ask to receive large data into. Allocated
// once and kept, outside every allocation watch, and large enough for any ask the properties
// allow.
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
        FUZZ_CHECK(length <= 2 * allowed_so_far_ && length <= kCapacity,
                   "asked for " + std::to_string(length) + " bytes, allowed " +
                       std::to_string(2 * allowed_so_far_));
        asked_ = length;
        return {bytes_.get(), length};
    }

    // A tensor the sink was given after an ask has its data in the memory asked for.
    void check_delivered(std::span<const std::uint8_t> data) const {
        FUZZ_CHECK(
            !asked_ || (data.data() == bytes_.get() && data.size() == *asked_),
            "data of " + std::to_string(data.size()) + " bytes given outside the memory asked for");
    }

    void forget_connection() { allowed_so_far_ = 0; }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_{new std::uint8_t[kCapacity]};
    std::size_t allowed_so_far_ = 0;
    std::optional<std::size_t> asked_;
};

// One connection's reading, frame after frame.
struct Reading {
    ReadWriteConnection& connection;
    std::span<const std::uint8_t> rest;  // what is still to be read
    CallerMemory* memory;                // the data destination, or none
};

// Returns false when the stream has ended or broken and nothing more can be read.
bool check_stream_item(Reading& reading) {
    const ExpectedFrame frame = expect_frame(reading.rest);
    StreamStep step;
    {
        AllocationWatch watch;
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

// The next frame, read in the frame reader's two steps as the client's readers use them.
zelto::Result<zelto::transport::FrameView, zelto::IoError> receive_next_frame(
    ReadWriteConnection& connection) {
    auto header = zelto::transport::peek_frame_header(connection);
    if (!header) return zelto::unexpected(std::move(header).error());
    return zelto::transport::receive_frame(connection, *header);
}

// A unary reply through the frame reader itself (peek_frame_header, then receive_frame) and, for
// a success, the packet decoding that read_unary_reply gives a whole frame (deliver_packet).
bool check_reply(Reading& reading) {
    const ExpectedFrame frame = expect_frame(reading.rest);
    AllocationWatch watch;
    auto reply = receive_next_frame(reading.connection);
    check_allocation(watch, frame);
    if (!frame.complete) {
        FUZZ_CHECK(!reply && reply.error().kind == zelto::IoErrorKind::UnexpectedEof &&
                       reply.error().message == kCutFrame,
                   "cut reply gave: " + (reply ? std::string("a frame") : reply.error().message));
        return false;
    }
    FUZZ_CHECK(reply && reply->word == frame.word &&
                   std::equal(reply->body.begin(), reply->body.end(), frame.body.begin(),
                              frame.body.end()),
               "reply frame differs from the bytes sent");
    reading.rest = reading.rest.subspan(zelto::transport::kReplyHeaderSize + frame.body.size());
    // An error reply's text is checked where the client reads it whole (check_client_reply).
    if (reply->word != 0) return true;

    std::optional<zelto::engine_api::BinaryTensorPacket> delivered;
    auto decoded = zelto::sdk::deliver_packet(
        reply->body, [&](const zelto::engine_api::TensorPacketView& packet) {
            FUZZ_CHECK(!delivered, "the sink was called twice for one reply");
            delivered = packet.to_owned();
        });
    auto packet = decode_tensor_packet(frame.body);
    if (packet) {
        FUZZ_CHECK(decoded && delivered && delivered->data == packet->data &&
                       delivered->shape == packet->shape,
                   "success reply packet");
    } else {
        FUZZ_CHECK(!decoded && decoded.error().kind == ClientError::Kind::Protocol &&
                       decoded.error().message == packet.error().message && !delivered,
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
        AllocationWatch watch;
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

void read_frames(std::uint8_t mode, std::span<const std::uint8_t> bytes) {
    const bool unary_replies = (mode & 1) != 0;
    const bool client_readers = (mode & 2) != 0;
    // Made at the first input, before any watch opens, and kept from input to input.
    static CallerMemory caller_memory;
    CallerMemory* memory = client_readers ? &caller_memory : nullptr;
    if (memory) memory->forget_connection();

    auto sockets = make_socket_pair();
    const std::size_t delivered = send_then_stop_writing(sockets.peer.get(), bytes);
    ReadWriteConnection connection(std::move(sockets.reader));

    // Only what the socket accepted reaches the reader; that prefix is what the frames must match.
    Reading reading{connection, bytes.first(delivered), memory};
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
}

}  // namespace zelto::fuzz
