// Receiving the tensor packet in the body of a frame (a unary reply, a stream item) and handing
// it to the caller's sink.
//
// A body is normally read whole into the connection's receive buffer and decoded there; the
// caller then copies the tensor's data once, into whatever it returns. A large tensor can skip
// that copy: once the payload's head says where the data lies and how long it is, the data is
// received straight into memory the caller provides (a DataDestination), and only the head, the
// tail and what the header's receive took in ahead (at most ReadWriteConnection::kReadAhead) go
// through the buffer. The result, every error and its text are the same either way.
//
// The announced data length is the engine's word, so the destination is asked for only once
// the receive buffer could hold half of it: memory this connection already took for bytes that
// really arrived. Until then the data keeps coming into the buffer, which grows by the usual
// rule (at most doubling as it fills), so a huge announcement followed by a close still costs
// about twice the bytes that came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/result.hpp"
#include "engine_api/tensor_packet.hpp"
#include "sdk/socket/client_error.hpp"
#include "sdk/socket/function_ref.hpp"
#include "transport/connection.hpp"

namespace zelto::sdk {

// Receives a frame's tensor while its bytes still sit where they arrived: the view is valid only
// during the call, so whatever the caller keeps it copies there (unless the data already lies in
// the caller's own DataDestination). Called at most once per frame, and only on success.
using PacketSink = FunctionRef<void(const engine_api::TensorPacketView&)>;

// Data of this many bytes and more may be received straight into a destination.
inline constexpr std::size_t kDirectReceiveMinimum = std::size_t{1} << 20;

// Memory of exactly the given length, owned by the caller, for a frame's tensor data; an empty
// span declines (the frame is then read whole). Asked at most once per frame. If the frame's
// packet decodes, the view given to the sink has its data in that memory.
using DataDestination = FunctionRef<std::span<std::uint8_t>(std::size_t)>;

// A destination that always declines.
std::span<std::uint8_t> no_destination(std::size_t);

// Decodes a whole packet body and gives it to `sink`, or fails with a Protocol error naming the
// fault.
Result<void, ClientError> deliver_packet(std::span<const std::uint8_t> body, PacketSink sink);

// For a frame whose header is pending in `connection` (peeked, not consumed) and whose
// `length`-byte body is a tensor packet: receives the frame, its data straight into
// `destination`, and gives the packet to `sink`, as deliver_packet would. nullopt, with nothing
// consumed, when the data is too short or not plain bytes, or the destination declines; the
// caller then reads the frame whole. A failed read is an Io error, after which the connection's
// position is unknown.
std::optional<Result<void, ClientError>> receive_packet_direct(
    transport::ReadWriteConnection& connection, std::size_t length, PacketSink sink,
    DataDestination destination);

}  // namespace zelto::sdk
