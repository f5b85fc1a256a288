#include "engine_api/tensor_packet.hpp"

#include "common/little_endian.hpp"
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

std::int64_t TensorPacketView::dim(std::size_t index) const {
    return load_le<std::int64_t>(shape_bytes_.data() + index * sizeof(std::int64_t));
}

BinaryTensorPacket TensorPacketView::to_owned() const {
    BinaryTensorPacket packet{{}, dtype_, {data_.begin(), data_.end()}};
    packet.shape.reserve(rank());
    for (std::size_t i = 0; i < rank(); ++i) packet.shape.push_back(dim(i));
    return packet;
}

Result<TensorPacketView, DecodeError> read_tensor_packet_view(RecordReader& reader) {
    TensorPacketView view;

    auto shape = reader.i64_sequence_bytes();
    if (!shape) return unexpected(std::move(shape).error());
    view.shape_bytes_ = *shape;

    auto dtype_text = reader.string_view();
    if (!dtype_text) return unexpected(std::move(dtype_text).error());
    auto dtype = parse_dtype(*dtype_text);
    if (!dtype) return unexpected(DecodeError{dtype.error().display()});
    view.dtype_ = *dtype;

    std::optional<std::span<const std::uint8_t>> data;
    auto data_present = reader.tag();
    if (!data_present) return unexpected(std::move(data_present).error());
    if (*data_present) {
        auto bytes = reader.byte_view();
        if (!bytes) return unexpected(std::move(bytes).error());
        data = *bytes;
    }

    std::optional<std::string_view> base64_text;
    auto base64_present = reader.tag();
    if (!base64_present) return unexpected(std::move(base64_present).error());
    if (*base64_present) {
        auto text = reader.string_view();
        if (!text) return unexpected(std::move(text).error());
        base64_text = *text;
    }

    // Reconciled exactly as into_packet does.
    if (data && base64_text) {
        return unexpected(
            DecodeError{"binary tensor payload must include only one of `data` or `data_base64`"});
    }
    if (data) {
        view.data_ = *data;
    } else if (base64_text) {
        auto decoded = base64_decode(*base64_text);
        if (!decoded) return unexpected(DecodeError{std::move(decoded).error()});
        view.decoded_base64_ = std::move(*decoded);
        view.data_ = view.decoded_base64_;
    } else {
        return unexpected(
            DecodeError{"binary tensor payload must include `data` or `data_base64`"});
    }
    return view;
}

std::optional<PlainPacketHead> read_plain_packet_head(std::span<const std::uint8_t> bytes) {
    std::size_t at = 0;
    const auto left = [&] { return bytes.size() - at; };
    const auto u64 = [&] {
        const auto value = load_le<std::uint64_t>(bytes.data() + at);
        at += sizeof(std::uint64_t);
        return value;
    };
    PlainPacketHead head;

    if (left() < 8) return std::nullopt;
    const std::uint64_t rank = u64();
    if (rank > left() / sizeof(std::int64_t)) return std::nullopt;
    head.shape_bytes = bytes.subspan(at, static_cast<std::size_t>(rank) * sizeof(std::int64_t));
    at += head.shape_bytes.size();

    if (left() < 8) return std::nullopt;
    const std::uint64_t dtype_len = u64();
    if (dtype_len > left()) return std::nullopt;
    const std::string_view dtype_text(reinterpret_cast<const char*>(bytes.data() + at),
                                      static_cast<std::size_t>(dtype_len));
    at += dtype_text.size();
    // ASCII is valid UTF-8; anything else is left to the reader's check.
    for (const char c : dtype_text) {
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    }
    auto dtype = parse_dtype(dtype_text);
    if (!dtype) return std::nullopt;
    head.dtype = *dtype;

    if (left() < 1 + 8 || bytes[at] != 1) return std::nullopt;  // raw data present
    ++at;
    head.data_length = u64();
    head.data_offset = at;
    return head;
}

TensorPacketView TensorPacketView::plain(const PlainPacketHead& head,
                                         std::span<const std::uint8_t> data) {
    TensorPacketView view;
    view.shape_bytes_ = head.shape_bytes;
    view.dtype_ = head.dtype;
    view.data_ = data;
    return view;
}

std::optional<TensorPacketView> read_plain_packet_view(std::span<const std::uint8_t> bytes) {
    const std::optional<PlainPacketHead> head = read_plain_packet_head(bytes);
    if (!head) return std::nullopt;
    const std::size_t left = bytes.size() - head->data_offset;
    if (head->data_length > left) return std::nullopt;
    const auto data_length = static_cast<std::size_t>(head->data_length);
    // No base64 text after the data.
    if (left - data_length < 1 || bytes[head->data_offset + data_length] != 0) return std::nullopt;
    return TensorPacketView::plain(*head, bytes.subspan(head->data_offset, data_length));
}

Result<TensorPacketView, DecodeError> decode_tensor_packet_view(
    std::span<const std::uint8_t> bytes) {
    if (auto plain = read_plain_packet_view(bytes)) return std::move(*plain);
    RecordReader reader(bytes);
    return read_tensor_packet_view(reader);
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
