// Reading what a fake engine wrote on a connection, frame after frame, with the client's frame
// readers, and checking every outcome against what the bytes say. Shared by the targets that feed
// the readers small inputs (fuzz_stream_frames) and megabytes of data (fuzz_large_frames).
//
// Properties, for any bytes:
//   - every frame and every decoded item or error is exactly what the bytes say (the frame
//     layout is simple enough to restate here), and a cut frame is "failed to fill whole buffer";
//   - memory follows the bytes that really arrived, not the announced body_len: the largest heap
//     block of one read is at most the connection's least receive buffer (64 KiB), the first
//     1 MiB reservation, or a small multiple of what followed the header;
//   - with memory of the caller's to receive large data into (as the Python layer offers its
//     result bytes), that memory is asked for at most once per frame and for at most twice what
//     the connection has been allowed to hold so far, whatever a packet announces; a tensor given
//     to the sink after that ask has its data there, exactly as many bytes as were asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zelto::fuzz {

// Sends `bytes` from a peer that then stops writing, and reads frames until the stream ends or
// breaks, checking each one. `mode`:
//   bit 0 clear: stream frames, read the way a StreamIterator does (next_stream_item);
//         set:   unary replies, one after another;
//   bit 1 clear: stream items without a data destination, unary replies through the frame
//                reader itself (peek_frame_header, receive_frame) and the packet decoding;
//         set:   the client's own readers with memory of the caller's to receive large data into
//                (next_stream_item with a destination, read_unary_reply as ZeltoClient reads).
void read_frames(std::uint8_t mode, std::span<const std::uint8_t> bytes);

}  // namespace zelto::fuzz
