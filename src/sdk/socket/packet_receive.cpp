#include "sdk/socket/packet_receive.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "transport/frame.hpp"

namespace zelto::sdk {
namespace {

using engine_api::PlainPacketHead;
using engine_api::TensorPacketView;
using transport::kReplyHeaderSize;
using transport::ReadWriteConnection;

// A plain payload's head (shape, dtype name, data tag and length) is a few dozen bytes; one
// that does not lie within this many bytes of the body is read the usual way.
constexpr std::size_t kHeadProbe = 4096;

Result<void, ClientError> io_failure(IoError error) {
    return unexpected(ClientError::from_io(std::move(error)));
}

}  // namespace

std::span<std::uint8_t> no_destination(std::size_t) {
    return {};
}

Result<void, ClientError> deliver_packet(std::span<const std::uint8_t> body, PacketSink sink) {
    auto packet = engine_api::decode_tensor_packet_view(body);
    if (!packet) return unexpected(ClientError::protocol(std::move(packet).error().message));
    sink(*packet);
    return {};
}

std::optional<Result<void, ClientError>> receive_packet_direct(ReadWriteConnection& connection,
                                                               std::size_t length, PacketSink sink,
                                                               DataDestination destination) {
    if (length <= kDirectReceiveMinimum) return std::nullopt;
    auto probe = connection.fill(kReplyHeaderSize + std::min(length, kHeadProbe));
    if (!probe) return io_failure(std::move(probe).error());
    const auto seen =
        probe->subspan(kReplyHeaderSize, std::min(probe->size() - kReplyHeaderSize, length));
    const std::optional<PlainPacketHead> head = engine_api::read_plain_packet_head(seen);
    // The data must end inside the body, before the tag that says whether base64 text follows.
    if (!head || head->data_length < kDirectReceiveMinimum ||
        head->data_length >= length - head->data_offset) {
        return std::nullopt;
    }
    const auto data_length = static_cast<std::size_t>(head->data_length);
    const std::size_t data_start = kReplyHeaderSize + head->data_offset;  // in the pending bytes

    // The destination is the engine's word made memory: ask for it only once the receive buffer
    // could hold half of it, receiving into the buffer until then.
    if (connection.receive_capacity() < data_length / 2) {
        auto half = connection.fill(data_start + data_length / 2);
        if (!half) return io_failure(std::move(half).error());
    }
    const std::span<std::uint8_t> target = destination(data_length);
    if (target.size() != data_length) return std::nullopt;

    // The head is kept apart: the buffer may move while the data and the tail come in.
    auto pending = connection.fill(data_start);  // all there already: returns at once
    if (!pending) return io_failure(std::move(pending).error());
    const std::vector<std::uint8_t> head_bytes(pending->begin() + kReplyHeaderSize,
                                               pending->begin() + data_start);
    connection.consume(data_start);
    if (auto data = connection.receive_exact(target); !data) {
        return io_failure(std::move(data).error());
    }
    const std::size_t tail_length = length - head->data_offset - data_length;  // at least 1
    auto tail = connection.fill(tail_length);
    if (!tail) return io_failure(std::move(tail).error());
    const std::span<const std::uint8_t> tail_bytes = tail->first(tail_length);
    connection.consume(tail_length);  // still readable until the next read

    if (tail_bytes[0] == 0) {  // no base64 text: exactly what read_plain_packet_view accepts
        sink(TensorPacketView::plain(*engine_api::read_plain_packet_head(head_bytes), target));
        return Result<void, ClientError>{};
    }
    // Anything else is malformed; the decoder names the fault, over the body put back together.
    std::vector<std::uint8_t> body;
    body.reserve(length);
    body.insert(body.end(), head_bytes.begin(), head_bytes.end());
    body.insert(body.end(), target.begin(), target.end());
    body.insert(body.end(), tail_bytes.begin(), tail_bytes.end());
    return deliver_packet(body, sink);
}

}  // namespace zelto::sdk
