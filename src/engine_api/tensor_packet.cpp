#include "engine_api/tensor_packet.hpp"

#include "engine_api/base64.hpp"

namespace zelto::engine_api {

Result<BinaryTensorPacketPayload, DecodeError> read_tensor_payload(RecordReader& reader) {
    BinaryTensorPacketPayload payload;

    auto shape = reader.i64_sequence();
    if (!shape) return unexpected(std::move(shape).error());
    payload.shape = std::move(*shape);

    auto dtype_text = reader.string();
    if (!dtype_text) return unexpected(std::move(dtype_text).error());
    auto dtype = parse_dtype(*dtype_text);
    if (!dtype) return unexpected(DecodeError{dtype.error().display()});
    payload.dtype = *dtype;

    auto data_present = reader.tag();
    if (!data_present) return unexpected(std::move(data_present).error());
    if (*data_present) {
        auto bytes = reader.byte_string();
        if (!bytes) return unexpected(std::move(bytes).error());
        payload.data = std::move(*bytes);
    }

    auto base64_present = reader.tag();
    if (!base64_present) return unexpected(std::move(base64_present).error());
    if (*base64_present) {
        auto text = reader.string();
        if (!text) return unexpected(std::move(text).error());
        payload.data_base64 = std::move(*text);
    }
    return payload;
}

Result<BinaryTensorPacket, DecodeError> into_packet(BinaryTensorPacketPayload payload) {
    BinaryTensorPacket packet{std::move(payload.shape), payload.dtype, {}};
    if (payload.data && payload.data_base64) {
        return unexpected(
            DecodeError{"binary tensor payload must include only one of `data` or `data_base64`"});
    }
    if (payload.data) {
        packet.data = std::move(*payload.data);
    } else if (payload.data_base64) {
        auto decoded = base64_decode(*payload.data_base64);
        if (!decoded) return unexpected(DecodeError{std::move(decoded).error()});
        packet.data = std::move(*decoded);
    } else {
        return unexpected(
            DecodeError{"binary tensor payload must include `data` or `data_base64`"});
    }
    return packet;
}

Result<BinaryTensorPacket, DecodeError> read_tensor_packet(RecordReader& reader) {
    auto payload = read_tensor_payload(reader);
    if (!payload) return unexpected(std::move(payload).error());
    return into_packet(std::move(*payload));
}

Result<BinaryTensorPacket, DecodeError> decode_tensor_packet(std::span<const std::uint8_t> bytes) {
    RecordReader reader(bytes);
    return read_tensor_packet(reader);
}

}  // namespace zelto::engine_api
