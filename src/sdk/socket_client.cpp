#include "sdk/socket_client.hpp"

#include <utility>

#include "common/utf8.hpp"
#include "engine_api/tensor_packet.hpp"
#include "transport/frame.hpp"
#include "transport/socket_connect.hpp"

namespace zelto::sdk {
namespace {

using engine_api::BinaryTensorPacket;
using transport::ReadWriteConnection;

Result<engine_api::TensorDtype, ClientError> parse_dtype(std::string_view text) {
    auto dtype = engine_api::parse_dtype(text);
    if (!dtype) return unexpected(ClientError::invalid_request(dtype.error().display()));
    return *dtype;
}

ClientError from_reply_error(transport::ReplyError error) {
    if (error.kind == transport::ReplyError::Kind::Remote) {
        return ClientError::remote(std::move(error.message));
    }
    return ClientError::protocol(std::move(error.message));
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

Result<engine_api::ByteBuffer, ClientError> SocketClient::encode_request(
    const PreparedInfer& request, engine_api::TensorDtype dtype) const {
    engine_api::InferenceRequest record{
        {request.input.shape, dtype, request.input.data},
        request.additional_inputs,
        request.session_id,
        std::nullopt,
    };
    if (config_.api_token) {
        record.metadata.emplace();
        record.metadata->api_token = *config_.api_token;
    }
    // The frame carries the length in 32 bits; refuse before allocating, let alone writing.
    if (auto too_large = transport::frame_payload_error(engine_api::encoded_size(record))) {
        return unexpected(ClientError::protocol(std::move(*too_large)));
    }
    auto encoded = engine_api::encode(record);
    if (!encoded) return unexpected(ClientError::protocol(std::move(encoded).error()));
    return std::move(*encoded);
}

Result<BinaryTensorPacket, ClientError> SocketClient::infer_impl(ReadWriteConnection& connection,
                                                                 const PreparedInfer& request) {
    auto dtype = parse_dtype(request.input.dtype);
    if (!dtype) return unexpected(std::move(dtype).error());
    auto payload = encode_request(request, *dtype);
    if (!payload) return unexpected(std::move(payload).error());

    auto written = transport::write_request(connection, request.model_id, transport::FrameOp::Infer,
                                            payload->bytes());
    if (!written) return unexpected(ClientError::from_io(std::move(written).error()));
    auto reply = transport::read_reply(connection);
    if (!reply) return unexpected(ClientError::from_io(std::move(reply).error()));
    auto packet = transport::decode_reply(reply->status, reply->body);
    if (!packet) return unexpected(from_reply_error(std::move(packet).error()));
    return std::move(*packet);
}

Result<BinaryTensorPacket, ClientError> SocketClient::run_infer(const PreparedInfer& request) {
    auto first = pool_.acquire([&] { return connect_stream(config_.target); });
    if (!first) return unexpected(std::move(first).error());

    auto result = infer_impl(*first, request);
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
    auto retried = infer_impl(*second, request);
    if (retried) pool_.return_connection(std::move(*second));
    return retried;
}

Result<BinaryTensorPacket, ClientError> SocketClient::infer(const InferInput& input) {
    auto prepared = prepare_infer(input);
    if (!prepared) return unexpected(std::move(prepared).error());
    return run_infer(*prepared);
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
    auto payload = encode_request(*prepared, *dtype);
    if (!payload) return fail(std::move(payload).error());
    auto written = transport::write_request(*connection, prepared->model_id,
                                            transport::FrameOp::InferStream, payload->bytes());
    if (!written) return fail(ClientError::from_io(std::move(written).error()), true);
    return std::move(*connection);
}

StreamStep next_stream_item(ReadWriteConnection& connection) {
    auto frame = transport::read_stream_frame(connection);
    if (!frame) return {StreamStep::Kind::Error, {}, std::move(frame).error().message};
    // An empty body ends the stream whatever the kind says.
    if (frame->body.empty()) return {StreamStep::Kind::End, {}, {}};
    switch (static_cast<transport::StreamFrameKind>(frame->kind)) {
        case transport::StreamFrameKind::Error:
            return {
                StreamStep::Kind::Error, {}, utf8_lossy(frame->body.data(), frame->body.size())};
        case transport::StreamFrameKind::Tensor: {
            auto packet = engine_api::decode_tensor_packet(frame->body);
            if (!packet) return {StreamStep::Kind::Error, {}, std::move(packet).error().message};
            return {StreamStep::Kind::Item, std::move(packet->data), {}};
        }
        default:
            return {StreamStep::Kind::End, {}, {}};  // kind 3 and unknown kinds
    }
}

}  // namespace zelto::sdk
