// Length-delimited frames on a socket connection.
//
//   request (client -> engine): u32 model_id, u32 op, u32 payload_len, payload
//   reply   (engine -> client): u32 status (0 = success), u32 body_len, body
//   stream  (engine -> client): u32 kind (1 error, 2 tensor, 3 end), u32 body_len, body
//
// All integers little-endian. There is no handshake, version or request id: one connection
// carries one exchange at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "transport/connection.hpp"

namespace zelto::transport {

enum class FrameOp : std::uint32_t {
    Infer = 1,
    InferStream = 2,
    HybridInfer = 4,
};

enum class StreamFrameKind : std::uint32_t {
    Error = 1,
    Tensor = 2,
    End = 3,
};

inline constexpr std::size_t kRequestHeaderSize = 12;
inline constexpr std::size_t kReplyHeaderSize = 8;
inline constexpr std::uint64_t kMaxFramePayload = 0xFFFFFFFFu;  // payload_len is 32-bit

// Why a payload of `size` bytes cannot be framed, or nothing when it can.
std::optional<std::string> frame_payload_error(std::uint64_t size);

void encode_request_header(std::uint8_t* out, std::uint32_t model_id, FrameOp op,
                           std::uint32_t payload_len);

// Header then payload, then flush. A payload that cannot be framed is refused before any byte
// is written (callers check frame_payload_error first and report it as a protocol error).
Result<void, IoError> write_request(ReadWriteConnection& connection, std::uint32_t model_id,
                                    FrameOp op, std::span<const std::uint8_t> payload);

// The same frame with its payload given in pieces sent back to back (header and pieces leave
// in one gathered write where the kernel takes them): the bytes on the wire are those of the
// contiguous payload. `payload_size` is the sum of the pieces' sizes.
Result<void, IoError> write_request(ReadWriteConnection& connection, std::uint32_t model_id,
                                    FrameOp op,
                                    std::span<const std::span<const std::uint8_t>> payload,
                                    std::uint64_t payload_size);

// A reply or stream frame whose body is still in the connection's receive buffer: valid until
// the next read on that connection. `word` is the reply status or the stream frame kind.
struct FrameView {
    std::uint32_t word = 0;
    std::span<const std::uint8_t> body;
};

// A reply or stream frame's header: `word` as in FrameView, `length` the body's.
struct FrameHeader {
    std::uint32_t word = 0;
    std::size_t length = 0;
};

// Reading a reply or stream frame takes two steps, so that the reader can look at the header
// before the body arrives (and, for large data, receive it elsewhere:
// sdk/socket/packet_receive.hpp). The peer's announced length is not trusted with memory: the
// connection's receive buffer grows only as bytes really arrive (see ReceiveBuffer), so a huge
// announcement followed by a close costs little and ends in "failed to fill whole buffer".

// Receives at least the next frame's header and reads it; nothing is consumed.
Result<FrameHeader, IoError> peek_frame_header(ReadWriteConnection& connection);

// The frame whose header `peek_frame_header` gave, received whole (usually with a single
// receive) and consumed; bytes that arrived behind it stay pending for the next read.
Result<FrameView, IoError> receive_frame(ReadWriteConnection& connection,
                                         const FrameHeader& header);

}  // namespace zelto::transport
