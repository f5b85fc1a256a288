#include "sdk/socket/socket_client.hpp"

#include <optional>
#include <utility>

#include "common/utf8.hpp"
#include "engine_api/request_pieces.hpp"
#include "engine_api/tensor_packet.hpp"
#include "transport/socket_connect.hpp"

namespace zelto::sdk {
namespace {

using transport::ReadWriteConnection;

// For the call that returns a copy of an item: it is copied out of the receive buffer anyway.
const auto kNoDestination = &no_destination;

Result<engine_api::TensorDtype, ClientError> parse_dtype(std::string_view text) {
    auto dtype = engine_api::parse_dtype(text);
    if (!dtype) return unexpected(ClientError::invalid_request(dtype.error().display()));
    return *dtype;
}

// The request record for `request` with an already parsed main dtype, encoded into `out` as
// pieces (the tensors' data referenced, not copied). Nothing is written.
Result<void, ClientError> encode_request(const PreparedInfer& request,
                                         engine_api::TensorDtype dtype,
                                         const std::optional<std::string>& api_token,
                                         engine_api::RequestPieces& out) {
    engine_api::InferenceRequest record{
        {request.input.shape, dtype, request.input.data},
        request.additional_inputs,
        request.session_id,
        std::nullopt,
    };
    if (api_token) {
        record.metadata.emplace();
        record.metadata->api_token = *api_token;
    }
    // The frame carries the length in 32 bits; refuse before encoding, let alone writing.
    if (!out.encode_within(record, transport::kMaxFramePayload)) {
        return unexpected(ClientError::protocol(*transport::frame_payload_error(out.size())));
    }
    return {};
}

}  // namespace

Result<PreparedInfer, ClientError> prepare_infer(const InferInput& input) {
    PreparedInfer prepared{input.model_id, input.input, {}, input.session_id};
    prepared.additional_inputs.reserve(input.additional_inputs.size());
    for (const NamedTensorInput& named : input.additional_inputs) {
        auto dtype = parse_dtype(named.tensor.dtype);
        if (!dtype) return unexpected(std::move(dtype).error());
        prepared.additional_inputs.push_back(
            {named.name, {named.tensor.shape, *dtype, named.tensor.data}});
    }
    return prepared;
}

Result<ReadWriteConnection, ClientError> connect_stream(const ConnectionTarget& target) {
    auto connection = target.is_unix() ? transport::connect_unix(target.address)
                                       : transport::connect_tcp(target.address);
    if (!connection) return unexpected(ClientError::from_io(std::move(connection).error()));
    return std::move(*connection);
}

SocketClient::SocketClient(ClientConfig config)
    : config_(std::move(config)), pool_(config_.max_pool_size) {}

Result<void, ClientError> exchange_unary(ReadWriteConnection& connection,
                                         const PreparedInfer& request,
                                         const std::optional<std::string>& api_token,
                                         PacketSink sink, DataDestination destination) {
    auto dtype = parse_dtype(request.input.dtype);
    if (!dtype) return unexpected(std::move(dtype).error());
    engine_api::RequestPieces& payload = connection.request_scratch();
    if (auto encoded = encode_request(request, *dtype, api_token, payload); !encoded) {
        return encoded;
    }

    auto written = transport::write_request(connection, request.model_id, transport::FrameOp::Infer,
                                            payload.pieces(), payload.size());
    if (!written) return unexpected(ClientError::from_io(std::move(written).error()));
    return read_unary_reply(connection, sink, destination);
}

Result<void, ClientError> SocketClient::run_infer(const PreparedInfer& request, PacketSink sink,
                                                  DataDestination destination) {
    auto first = pool_.acquire([&] { return connect_stream(config_.target); });
    if (!first) return unexpected(std::move(first).error());

    auto result = exchange_unary(*first, request, config_.api_token, sink, destination);
    if (result || result.error().kind != ClientError::Kind::Io) {
        // Success, or a failure that consumed the whole reply (or wrote nothing): the stream is
        // still on a frame boundary.
        pool_.return_connection(std::move(*first));
        return result;
    }

    // The connection is broken or was stale in the pool; its position in the byte stream is
    // unknown, so it is never reused. One fresh connect, one more attempt. The engine may see
    // the request twice: the failure can come after it received the whole request.
    auto second = connect_stream(config_.target);
    if (!second) return unexpected(std::move(second).error());
    auto retried = exchange_unary(*second, request, config_.api_token, sink, destination);
    if (retried) pool_.return_connection(std::move(*second));
    return retried;
}

Result<void, ClientError> SocketClient::infer(const InferInput& input, PacketSink sink,
                                              DataDestination destination) {
    auto prepared = prepare_infer(input);
    if (!prepared) return unexpected(std::move(prepared).error());
    return run_infer(*prepared, sink, destination);
}

Result<ReadWriteConnection, StreamOpenError> SocketClient::open_stream(const InferInput& input) {
    const auto fail = [](ClientError error, bool while_writing = false) {
        return unexpected(StreamOpenError{std::move(error), while_writing});
    };
    auto prepared = prepare_infer(input);
    if (!prepared) return fail(std::move(prepared).error());
    auto connection = connect_stream(config_.target);
    if (!connection) return fail(std::move(connection).error());
    // From here on every early return closes the new connection unused.
    auto dtype = parse_dtype(prepared->input.dtype);
    if (!dtype) return fail(std::move(dtype).error());
    engine_api::RequestPieces& payload = connection->request_scratch();
    if (auto encoded = encode_request(*prepared, *dtype, config_.api_token, payload); !encoded) {
        return fail(std::move(encoded).error());
    }
    auto written =
        transport::write_request(*connection, prepared->model_id, transport::FrameOp::InferStream,
                                 payload.pieces(), payload.size());
    if (!written) return fail(ClientError::from_io(std::move(written).error()), true);
    return std::move(*connection);
}

namespace {

// A data frame with large data (sdk/socket/packet_receive.hpp): its data straight into
// `destination`. nullopt, with nothing consumed, for any other frame and whenever the frame is to
// be read whole.
std::optional<StreamStep> receive_item_direct(ReadWriteConnection& connection,
                                              const transport::FrameHeader& header,
                                              ItemSink on_item, DataDestination destination) {
    if (static_cast<transport::StreamFrameKind>(header.word) !=
        transport::StreamFrameKind::Tensor) {
        return std::nullopt;
    }
    auto direct = receive_packet_direct(
        connection, header.length,
        [&](const engine_api::TensorPacketView& packet) { on_item(packet.data()); }, destination);
    if (!direct) return std::nullopt;
    if (!*direct) {
        return StreamStep{StreamStep::Kind::Error, {}, std::move(*direct).error().message};
    }
    return StreamStep{StreamStep::Kind::Item, {}, {}};
}

// The step a whole frame gives.
StreamStep stream_step(const transport::FrameView& frame, ItemSink on_item) {
    StreamStep step{StreamStep::Kind::End, {}, {}};
    // An empty body ends the stream whatever the kind says.
    if (frame.body.empty()) return step;
    switch (static_cast<transport::StreamFrameKind>(frame.word)) {
        case transport::StreamFrameKind::Error:
            step = {StreamStep::Kind::Error, {}, utf8_lossy(frame.body.data(), frame.body.size())};
            break;
        case transport::StreamFrameKind::Tensor:
            if (auto packet = engine_api::decode_tensor_packet_view(frame.body); !packet) {
                step = {StreamStep::Kind::Error, {}, std::move(packet).error().message};
            } else {
                on_item(packet->data());
                step.kind = StreamStep::Kind::Item;
            }
            break;
        default:
            break;  // kind 3 and unknown kinds end the stream
    }
    return step;
}

StreamStep read_stream_step(ReadWriteConnection& connection, ItemSink on_item,
                            DataDestination destination) {
    auto header = transport::peek_frame_header(connection);
    if (!header) return {StreamStep::Kind::Error, {}, std::move(header).error().message};
    if (auto direct = receive_item_direct(connection, *header, on_item, destination)) {
        return std::move(*direct);
    }
    auto frame = transport::receive_frame(connection, *header);
    if (!frame) return {StreamStep::Kind::Error, {}, std::move(frame).error().message};
    return stream_step(*frame, on_item);
}

}  // namespace

StreamStep next_stream_item(ReadWriteConnection& connection, ItemSink on_item,
                            DataDestination destination) {
    StreamStep step = read_stream_step(connection, on_item, destination);
    connection.release_spare_memory();
    return step;
}

StreamStep next_stream_item(ReadWriteConnection& connection) {
    std::vector<std::uint8_t> data;
    StreamStep step = next_stream_item(
        connection,
        [&](std::span<const std::uint8_t> item) { data.assign(item.begin(), item.end()); },
        kNoDestination);
    step.data = std::move(data);
    return step;
}

}  // namespace zelto::sdk
