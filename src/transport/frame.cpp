#include "transport/frame.hpp"

#include <algorithm>
#include <vector>

#include "common/little_endian.hpp"

namespace zelto::transport {

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

Result<void, IoError> write_request(ReadWriteConnection& connection, std::uint32_t model_id,
                                    FrameOp op,
                                    std::span<const std::span<const std::uint8_t>> payload,
                                    std::uint64_t payload_size) {
    if (auto too_large = frame_payload_error(payload_size)) {
        return unexpected(IoError::invalid_input(std::move(*too_large)));
    }
    // The header and up to seven pieces go out together; a longer list is sent in batches.
    constexpr std::size_t kInline = 8;
    std::uint8_t header[kRequestHeaderSize];
    encode_request_header(header, model_id, op, static_cast<std::uint32_t>(payload_size));
    if (payload.size() < kInline) {
        std::span<const std::uint8_t> parts[kInline] = {{header, sizeof header}};
        std::copy(payload.begin(), payload.end(), parts + 1);
        if (auto sent = connection.write_all({parts, payload.size() + 1}); !sent) return sent;
    } else {
        std::vector<std::span<const std::uint8_t>> parts;
        parts.reserve(payload.size() + 1);
        parts.push_back({header, sizeof header});
        parts.insert(parts.end(), payload.begin(), payload.end());
        if (auto sent = connection.write_all(std::span<const std::span<const std::uint8_t>>(parts));
            !sent) {
            return sent;
        }
    }
    return connection.flush();
}

Result<FrameHeader, IoError> peek_frame_header(ReadWriteConnection& connection) {
    auto head = connection.fill(kReplyHeaderSize);
    if (!head) return unexpected(std::move(head).error());
    return FrameHeader{load_le<std::uint32_t>(head->data()),
                       std::size_t{load_le<std::uint32_t>(head->data() + 4)}};
}

Result<FrameView, IoError> receive_frame(ReadWriteConnection& connection,
                                         const FrameHeader& header) {
    auto whole = connection.fill(kReplyHeaderSize + header.length);
    if (!whole) return unexpected(std::move(whole).error());
    connection.consume(kReplyHeaderSize + header.length);
    return FrameView{header.word, whole->subspan(kReplyHeaderSize, header.length)};
}

}  // namespace zelto::transport
