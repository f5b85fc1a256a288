#include "transport/frame.hpp"

#include <algorithm>

#include "common/little_endian.hpp"
#include "common/utf8.hpp"
#include "engine_api/tensor_packet.hpp"

namespace zelto::transport {
namespace {

constexpr std::size_t kInitialBodyChunk = std::size_t{1} << 20;

struct Header {
    std::uint32_t word = 0;  // status or stream kind
    std::uint32_t length = 0;
};

Result<Header, IoError> read_header(ReadWriteConnection& connection) {
    std::uint8_t bytes[kReplyHeaderSize];
    auto read = connection.read_exact(bytes, sizeof bytes);
    if (!read) return unexpected(std::move(read).error());
    return Header{load_le<std::uint32_t>(bytes), load_le<std::uint32_t>(bytes + 4)};
}

}  // namespace

std::optional<std::string> frame_payload_error(std::uint64_t size) {
    if (size <= kMaxFramePayload) return std::nullopt;
    return "request payload of " + std::to_string(size) +
           " bytes does not fit a frame (at most 4294967295 bytes)";
}

void encode_request_header(std::uint8_t* out, std::uint32_t model_id, FrameOp op,
                           std::uint32_t payload_len) {
    store_le(out, model_id);
    store_le(out + 4, static_cast<std::uint32_t>(op));
    store_le(out + 8, payload_len);
}

Result<void, IoError> write_request(ReadWriteConnection& connection, std::uint32_t model_id,
                                    FrameOp op, std::span<const std::uint8_t> payload) {
    if (auto too_large = frame_payload_error(payload.size())) {
        return unexpected(IoError::invalid_input(std::move(*too_large)));
    }
    std::uint8_t header[kRequestHeaderSize];
    encode_request_header(header, model_id, op, static_cast<std::uint32_t>(payload.size()));
    if (auto sent = connection.write_all({header, payload}); !sent) return sent;
    return connection.flush();
}

Result<std::vector<std::uint8_t>, IoError> read_body(ReadWriteConnection& connection,
                                                     std::uint64_t length) {
    std::vector<std::uint8_t> body;
    while (body.size() < length) {
        const std::uint64_t wanted =
            body.empty() ? kInitialBodyChunk : std::uint64_t{body.size()} * 2;
        const auto next = static_cast<std::size_t>(std::min(length, wanted));
        const std::size_t filled = body.size();
        body.reserve(next);  // exact capacity: no slack beyond what the peer has sent so far
        body.resize(next);
        auto read = connection.read_exact(body.data() + filled, next - filled);
        if (!read) return unexpected(std::move(read).error());
    }
    return body;
}

Result<ReplyFrame, IoError> read_reply(ReadWriteConnection& connection) {
    auto header = read_header(connection);
    if (!header) return unexpected(std::move(header).error());
    auto body = read_body(connection, header->length);
    if (!body) return unexpected(std::move(body).error());
    return ReplyFrame{header->word, std::move(*body)};
}

Result<StreamFrame, IoError> read_stream_frame(ReadWriteConnection& connection) {
    auto header = read_header(connection);
    if (!header) return unexpected(std::move(header).error());
    auto body = read_body(connection, header->length);
    if (!body) return unexpected(std::move(body).error());
    return StreamFrame{header->word, std::move(*body)};
}

Result<engine_api::BinaryTensorPacket, ReplyError> decode_reply(
    std::uint32_t reply_status, std::span<const std::uint8_t> body) {
    if (reply_status != 0) {
        return unexpected(
            ReplyError{ReplyError::Kind::Remote, utf8_lossy(body.data(), body.size())});
    }
    auto packet = engine_api::decode_tensor_packet(body);
    if (!packet) {
        return unexpected(
            ReplyError{ReplyError::Kind::Protocol, std::move(packet).error().message});
    }
    return std::move(*packet);
}

}  // namespace zelto::transport
