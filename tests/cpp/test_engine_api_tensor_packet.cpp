#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine_api/base64.hpp"
#include "engine_api/tensor_packet.hpp"

namespace zelto::engine_api {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Builds payloads field by field, including malformed ones.
struct PayloadBuilder {
    Bytes bytes;

    PayloadBuilder& u64(std::uint64_t value) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        return *this;
    }
    PayloadBuilder& raw(const std::string& text) {
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    PayloadBuilder& byte(std::uint8_t value) {
        bytes.push_back(value);
        return *this;
    }
    PayloadBuilder& shape(std::initializer_list<std::int64_t> dims) {
        u64(dims.size());
        for (std::int64_t dim : dims) u64(static_cast<std::uint64_t>(dim));
        return *this;
    }
    PayloadBuilder& text(const std::string& value) { return u64(value.size()).raw(value); }
    PayloadBuilder& data(const std::string& value) { return byte(1).u64(value.size()).raw(value); }
    PayloadBuilder& base64(const std::string& value) { return byte(1).text(value); }
    PayloadBuilder& absent() { return byte(0); }
};

// The failure text of decoding `bytes`; the in-place decoder must fail with the very same text.
std::string decode_error(const Bytes& bytes) {
    auto packet = decode_tensor_packet(bytes);
    EXPECT_FALSE(packet);
    auto view = decode_tensor_packet_view(bytes);
    EXPECT_FALSE(view);
    if (!packet || !view) {
        EXPECT_EQ(view ? "<decoded>" : view.error().message,
                  packet ? "<decoded>" : packet.error().message);
    }
    return packet ? "<decoded>" : packet.error().message;
}

TEST(DecodeTensorPacket, RawData) {
    const auto bytes = PayloadBuilder{}.shape({2, 3}).text("float32").data("abc").absent().bytes;
    auto packet = decode_tensor_packet(bytes);
    ASSERT_TRUE(packet) << packet.error().message;
    EXPECT_EQ(packet->shape, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(packet->dtype, TensorDtype::Float32);
    EXPECT_EQ(packet->data, (Bytes{'a', 'b', 'c'}));
}

TEST(DecodeTensorPacket, WireDtypeFormsAndNegativeDims) {
    const std::pair<const char*, TensorDtype> forms[] = {
        {"FP16", TensorDtype::Float16}, {"utf8", TensorDtype::String}, {"U8", TensorDtype::Uint8}};
    for (const auto& [form, dtype] : forms) {
        const auto bytes = PayloadBuilder{}.shape({-1, 0}).text(form).data("").absent().bytes;
        auto packet = decode_tensor_packet(bytes);
        ASSERT_TRUE(packet) << form;
        EXPECT_EQ(packet->dtype, dtype);
        EXPECT_EQ(packet->shape, (std::vector<std::int64_t>{-1, 0}));
        EXPECT_TRUE(packet->data.empty());
    }
}

TEST(DecodeTensorPacket, Base64Data) {
    const std::pair<const char*, Bytes> ok[] = {
        {"AQID", {1, 2, 3}}, {"AQI=", {1, 2}}, {"AQ==", {1}}};
    for (const auto& [text, expected] : ok) {
        const auto bytes = PayloadBuilder{}.shape({}).text("uint8").absent().base64(text).bytes;
        auto packet = decode_tensor_packet(bytes);
        ASSERT_TRUE(packet) << text;
        EXPECT_EQ(packet->data, expected);
        EXPECT_TRUE(packet->shape.empty());
    }
    const std::pair<std::string, std::string> bad[] = {
        {"AQI", "Invalid padding"},
        {"AR==", "Invalid last symbol 82, offset 1."},
        {"AQ\nD", "Invalid symbol 10, offset 2."},
        {"AQIDB", "Invalid input length: 5"},
    };
    for (const auto& [text, message] : bad) {
        EXPECT_EQ(
            decode_error(PayloadBuilder{}.shape({}).text("uint8").absent().base64(text).bytes),
            message);
    }
}

TEST(DecodeTensorPacket, ExactlyOneDataForm) {
    // "only one of" wins even when the base64 text itself is invalid.
    EXPECT_EQ(decode_error(PayloadBuilder{}.shape({1}).text("uint8").data("x").base64("!!").bytes),
              "binary tensor payload must include only one of `data` or `data_base64`");
    EXPECT_EQ(decode_error(PayloadBuilder{}.shape({1}).text("uint8").absent().absent().bytes),
              "binary tensor payload must include `data` or `data_base64`");
}

TEST(DecodeTensorPacket, TruncationAndTags) {
    const std::string eof = "io error: unexpected end of file";
    const auto full = PayloadBuilder{}.shape({4}).text("float32").data("abcd").absent().bytes;
    // Cut inside the shape count, a shape element, the dtype length, before the data tag, inside
    // the data length and the data bytes, and before the base64 tag.
    for (std::size_t cut : {0, 3, 12, 20, 31, 35, 42, 44}) {
        EXPECT_EQ(decode_error(Bytes(full.begin(), full.begin() + cut)), eof) << cut;
    }
    // Cut inside the dtype string: its length exceeds what is left, and nothing follows the blank.
    EXPECT_EQ(decode_error(Bytes(full.begin(), full.begin() + 27)), "io error: ");
    EXPECT_EQ(decode_error(
                  PayloadBuilder{}.shape({}).text("uint8").absent().byte(1).u64(5).raw("AQ").bytes),
              "io error: ");
    EXPECT_EQ(decode_error(PayloadBuilder{}.shape({}).text("uint8").byte(2).bytes),
              "tag for enum is not valid, found 2");
    EXPECT_EQ(decode_error(PayloadBuilder{}.shape({}).text("uint8").absent().byte(7).bytes),
              "tag for enum is not valid, found 7");
}

TEST(DecodeTensorPacket, TextErrors) {
    EXPECT_EQ(decode_error(PayloadBuilder{}
                               .shape({})
                               .text("flo\xFF"
                                     "at")
                               .data("")
                               .absent()
                               .bytes),
              "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 3");
    EXPECT_EQ(decode_error(PayloadBuilder{}.shape({}).text("ab\xE2\x82").data("").absent().bytes),
              "string is not valid utf8: incomplete utf-8 byte sequence from index 2");
    EXPECT_EQ(decode_error(PayloadBuilder{}.shape({}).text("uint8").absent().base64("A\xC3").bytes),
              "string is not valid utf8: incomplete utf-8 byte sequence from index 1");
    EXPECT_EQ(decode_error(PayloadBuilder{}.shape({}).text("Float").data("").absent().bytes),
              "Invalid input: Unsupported dtype: float");
}

TEST(DecodeTensorPacket, TrailingBytesAreIgnored) {
    auto bytes = PayloadBuilder{}.shape({1}).text("string").data("hi").absent().raw("junk").bytes;
    auto packet = decode_tensor_packet(bytes);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->dtype, TensorDtype::String);
    EXPECT_EQ(packet->data, (Bytes{'h', 'i'}));
}

TEST(DecodeTensorPacket, HostileCountsCostNoMemory) {
    // 2^40 shape elements or a 2^62-byte data length announced with a handful of bytes behind:
    // both fail as a short input (an up-front allocation would throw or abort instead).
    EXPECT_EQ(decode_error(PayloadBuilder{}.u64(1ULL << 40).u64(1).u64(2).bytes),
              "io error: unexpected end of file");
    EXPECT_EQ(decode_error(
                  PayloadBuilder{}.shape({}).text("uint8").byte(1).u64(1ULL << 62).raw("ab").bytes),
              "io error: unexpected end of file");
    EXPECT_EQ(decode_error(PayloadBuilder{}.shape({}).u64(~0ULL).raw("uint8").bytes), "io error: ");
}

TEST(TensorPacketView, DecodesLikeTheOwningDecoder) {
    const std::vector<Bytes> bodies = {
        PayloadBuilder{}.shape({2, -3}).text("FP16").data("abcdef").absent().bytes,
        PayloadBuilder{}.shape({}).text("utf8").data("").absent().raw("trailing").bytes,
        PayloadBuilder{}
            .shape({1})
            .text("uint8")
            .absent()
            .base64(base64_encode(Bytes{1, 2, 3}))
            .bytes,
        PayloadBuilder{}.shape({0}).text("int64").absent().base64("").bytes,
    };
    for (const Bytes& body : bodies) {
        auto owned = decode_tensor_packet(body);
        auto view = decode_tensor_packet_view(body);
        ASSERT_TRUE(owned);
        ASSERT_TRUE(view) << view.error().message;
        const BinaryTensorPacket copy = view->to_owned();
        EXPECT_EQ(copy.shape, owned->shape);
        EXPECT_EQ(copy.dtype, owned->dtype);
        EXPECT_EQ(copy.data, owned->data);
        ASSERT_EQ(view->rank(), owned->shape.size());
        for (std::size_t i = 0; i < view->rank(); ++i) EXPECT_EQ(view->dim(i), owned->shape[i]);
    }
}

TEST(TensorPacketView, RawDataIsAViewIntoTheBody) {
    const Bytes body = PayloadBuilder{}.shape({4}).text("uint8").data("wxyz").absent().bytes;
    auto view = decode_tensor_packet_view(body);
    ASSERT_TRUE(view);
    // shape count, one dim, dtype length and text, data tag and length: then the data itself.
    EXPECT_EQ(view->data().data(), body.data() + 8 + 8 + 8 + 5 + 1 + 8);
    EXPECT_EQ(view->data().size(), 4u);
}

TEST(TensorPacketView, Base64DataOutlivesAMove) {
    const Bytes body = PayloadBuilder{}
                           .shape({})
                           .text("uint8")
                           .absent()
                           .base64(base64_encode(Bytes(100, 9)))
                           .bytes;
    auto view = decode_tensor_packet_view(body);
    ASSERT_TRUE(view);
    TensorPacketView moved = std::move(*view);
    EXPECT_EQ(Bytes(moved.data().begin(), moved.data().end()), Bytes(100, 9));
}

}  // namespace
}  // namespace zelto::engine_api
