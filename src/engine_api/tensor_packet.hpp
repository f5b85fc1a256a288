// Decoding a BinaryTensorPacketPayload (shape, dtype, data?, data_base64?) into an owned
// BinaryTensorPacket: the body of a successful reply and of every stream data frame.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "engine_api/inference_request.hpp"
#include "engine_api/record_reader.hpp"

namespace zelto::engine_api {

// The wire form of a tensor as read, before the two data forms are reconciled.
struct BinaryTensorPacketPayload {
    std::vector<std::int64_t> shape;
    TensorDtype dtype = TensorDtype::Float32;
    std::optional<std::vector<std::uint8_t>> data;
    std::optional<std::string> data_base64;
};

// The four fields in order; the dtype text is parsed as soon as it is read.
Result<BinaryTensorPacketPayload, DecodeError> read_tensor_payload(RecordReader& reader);

// Exactly one of `data` and `data_base64` must be present; base64 text is decoded strictly.
Result<BinaryTensorPacket, DecodeError> into_packet(BinaryTensorPacketPayload payload);

// The start of the payload the engine nearly always sends (see read_plain_packet_view), up to
// and including the data's length: the data need not have arrived yet.
struct PlainPacketHead {
    std::span<const std::uint8_t> shape_bytes;  // rank little-endian int64s, into the bytes read
    TensorDtype dtype = TensorDtype::Float32;
    std::size_t data_offset = 0;    // of the first data byte, from the payload's start
    std::uint64_t data_length = 0;  // as announced: not checked against anything
};

// A decoded tensor whose bytes are left where they arrived: shape and data are views into the
// decoded input (the connection's receive buffer), valid only as long as that input is. Only
// base64 data is decoded into storage of its own. Move-only, because `data` may point into
// that storage.
class TensorPacketView {
  public:
    TensorPacketView() = default;
    TensorPacketView(TensorPacketView&&) = default;
    TensorPacketView& operator=(TensorPacketView&&) = default;
    TensorPacketView(const TensorPacketView&) = delete;
    TensorPacketView& operator=(const TensorPacketView&) = delete;

    std::size_t rank() const { return shape_bytes_.size() / sizeof(std::int64_t); }
    std::int64_t dim(std::size_t index) const;
    TensorDtype dtype() const { return dtype_; }
    std::span<const std::uint8_t> data() const { return data_; }

    // A copy that owns its shape and data.
    BinaryTensorPacket to_owned() const;

    // A plain payload whose data the caller received elsewhere (straight into memory of its
    // own): shape and dtype from `head`, the data from `data`. Both must outlive the view.
    static TensorPacketView plain(const PlainPacketHead& head, std::span<const std::uint8_t> data);

  private:
    friend Result<TensorPacketView, DecodeError> read_tensor_packet_view(RecordReader& reader);

    std::span<const std::uint8_t> shape_bytes_;  // rank little-endian int64s
    TensorDtype dtype_ = TensorDtype::Float32;
    std::span<const std::uint8_t> data_;        // into the input, or into decoded_base64_
    std::vector<std::uint8_t> decoded_base64_;  // only for data sent as base64 text
};

// Reads one payload at the reader's position with exactly the checks, order and failure texts
// of read_tensor_packet, but copies nothing except base64-decoded data.
Result<TensorPacketView, DecodeError> read_tensor_packet_view(RecordReader& reader);

// The payload the engine nearly always sends (ASCII dtype, raw data present, no base64 text),
// read without a result per field, as read_tensor_packet_view would read it; nullopt for
// anything else (including every malformed payload), which that reader then reads and names.
std::optional<TensorPacketView> read_plain_packet_view(std::span<const std::uint8_t> bytes);

// The head of such a payload at the front of `bytes`, read exactly as read_plain_packet_view
// reads it; nullopt where that would give up before reaching the data (the head is not all
// there, or the payload is not plain).
std::optional<PlainPacketHead> read_plain_packet_head(std::span<const std::uint8_t> bytes);

// A whole reply or frame body as a view; bytes after the payload are ignored. A plain payload
// takes the short path above, well under half the reader's work for a small reply (bench: no
// scenario reruns this yet); everything else goes through read_tensor_packet_view.
Result<TensorPacketView, DecodeError> decode_tensor_packet_view(
    std::span<const std::uint8_t> bytes);

// Reads one payload at the reader's position; the first failure ends decoding and nothing
// partial is returned. Exactly one of `data` and `data_base64` must be present; base64 text is
// decoded strictly.
Result<BinaryTensorPacket, DecodeError> read_tensor_packet(RecordReader& reader);

// A whole reply or frame body; bytes after the payload are ignored.
Result<BinaryTensorPacket, DecodeError> decode_tensor_packet(std::span<const std::uint8_t> bytes);

}  // namespace zelto::engine_api
