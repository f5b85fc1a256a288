#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/request_decoder.hpp"
#include "engine_api/inference_request.hpp"
#include "engine_api/request_pieces.hpp"
#include "transport/request_metadata.hpp"

namespace zelto::engine_api {
namespace {

std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::vector<std::uint8_t> encode_bytes(const InferenceRequest& request) {
    auto encoded = encode(request);
    EXPECT_TRUE(encoded);
    if (!encoded) return {};
    EXPECT_EQ(encoded->size(), encoded_size(request));
    auto bytes = encoded->bytes();
    return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> float_bytes(std::initializer_list<float> values) {
    std::vector<std::uint8_t> out(values.size() * 4);
    std::memcpy(out.data(), std::data(values), out.size());
    return out;
}

TEST(RequestEncoding, PlainRequestIs59Bytes) {
    const std::vector<std::int64_t> shape{2};
    const auto data = float_bytes({1.0f, 2.0f});
    InferenceRequest request{{shape, TensorDtype::Float32, data}, {}, std::nullopt, std::nullopt};
    EXPECT_EQ(encode_bytes(request),
              hex("01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 07 00 00 00 00 00 00 00 "
                  "66 6c 6f 61 74 33 32 01 08 00 00 00 00 00 00 00 00 00 80 3f 00 00 00 40 "
                  "00 00 00 00 00 00 00 00 00 00 00"));
}

TEST(RequestEncoding, NamedTensorIs52Bytes) {
    const std::vector<std::int64_t> shape{1};
    const std::vector<std::uint8_t> data{0x01};
    const std::vector<std::int64_t> no_shape;
    const std::vector<NamedTensor> named{{"mask", {shape, TensorDtype::Uint8, data}}};
    InferenceRequest request{{no_shape, TensorDtype::Uint8, {}}, named, std::nullopt, std::nullopt};
    const auto bytes = encode_bytes(request);
    // Main input: 8 (count) + 8 + 5 ("uint8") + 1 + 8 + 0 + 1 = 31 bytes, then the count 1.
    ASSERT_EQ(bytes.size(), 31u + 8u + 52u + 2u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 31, bytes.begin() + 39),
              hex("01 00 00 00 00 00 00 00"));
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 39, bytes.begin() + 91),
              hex("04 00 00 00 00 00 00 00 6d 61 73 6b 01 00 00 00 00 00 00 00 01 00 00 00 00 "
                  "00 00 00 05 00 00 00 00 00 00 00 75 69 6e 74 38 01 01 00 00 00 00 00 00 00 "
                  "01 00"));
}

TEST(RequestEncoding, ScalarShapeAndEmptyDataKeepTheirPrefixes) {
    InferenceRequest request{{{}, TensorDtype::Int64, {}}, {}, std::nullopt, std::nullopt};
    EXPECT_EQ(encode_bytes(request),
              hex("00 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00 69 6e 74 36 34 "
                  "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST(RequestEncoding, CanonicalDtypeNamesOnTheWire) {
    const char* names[] = {"float32", "float64", "float16", "int32", "int64", "uint8", "string"};
    for (int member = 0; member <= 6; ++member) {
        const auto dtype = static_cast<TensorDtype>(member);
        EXPECT_EQ(dtype_name(dtype), names[member]);
        InferenceRequest request{{{}, dtype, {}}, {}, std::nullopt, std::nullopt};
        const auto bytes = encode_bytes(request);
        const std::string wire(bytes.begin() + 16, bytes.begin() + 16 + std::strlen(names[member]));
        EXPECT_EQ(wire, names[member]);
    }
}

TEST(RequestEncoding, SessionIdPresentEvenWhenEmpty) {
    InferenceRequest request{{{}, TensorDtype::Uint8, {}}, {}, std::string_view(""), std::nullopt};
    const auto bytes = encode_bytes(request);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 10, bytes.end()),
              hex("01 00 00 00 00 00 00 00 00 00"));
}

TEST(RequestEncoding, ApiTokenSuffix) {
    for (const std::string token : {"", "secret-token"}) {
        RequestMetadata metadata;
        metadata.api_token = token;
        InferenceRequest request{{{}, TensorDtype::Uint8, {}}, {}, std::nullopt, metadata};
        const auto bytes = encode_bytes(request);
        EXPECT_EQ(metadata_encoded_size(metadata), 21 + token.size());
        std::vector<std::uint8_t> expected{1, 0, 0, 0, 0, 0, 1};
        const auto length = hex("00 00 00 00 00 00 00 00");
        expected.insert(expected.end(), length.begin(), length.end());
        expected[7] = static_cast<std::uint8_t>(token.size());
        expected.insert(expected.end(), token.begin(), token.end());
        expected.insert(expected.end(), 7, 0);
        ASSERT_GE(bytes.size(), expected.size());
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - expected.size(), bytes.end()), expected);
    }
}

TEST(RequestEncoding, EveryMetadataFieldRoundTrips) {
    RequestMetadata metadata;
    metadata.opt_text_1 = "a";
    metadata.opt_u64_1 = 7;
    metadata.opt_u8 = 3;
    metadata.opt_flag = true;
    metadata.opt_text_2 = "bc";
    metadata.api_token = "tok";
    metadata.opt_i32_1 = -5;
    metadata.opt_f32_1 = 1.5f;
    metadata.opt_f32_2 = 2.5f;
    metadata.opt_i32_2 = 9;
    metadata.opt_f32_3 = -1.0f;
    metadata.opt_u64_2 = 1ULL << 40;
    metadata.opt_u32_list = std::vector<std::uint32_t>{1, 2, 3};
    const std::vector<std::int64_t> shape{-1, 0, 3};
    const std::vector<std::uint8_t> data{9, 8, 7};
    const std::vector<NamedTensor> named{{"x", {shape, TensorDtype::String, data}}};
    InferenceRequest request{
        {shape, TensorDtype::Float16, data}, named, std::string_view("session"), metadata};
    const auto bytes = encode_bytes(request);
    auto decoded = engine::decode_inference_request(bytes);
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(decoded->input.shape, shape);
    EXPECT_EQ(decoded->input.dtype, TensorDtype::Float16);
    EXPECT_EQ(decoded->input.data, data);
    ASSERT_EQ(decoded->additional_inputs.size(), 1u);
    EXPECT_EQ(decoded->additional_inputs[0].name, "x");
    EXPECT_EQ(decoded->additional_inputs[0].tensor.dtype, TensorDtype::String);
    EXPECT_EQ(decoded->session_id, "session");
    ASSERT_TRUE(decoded->metadata);
    EXPECT_EQ(decoded->metadata->api_token, "tok");
    EXPECT_EQ(decoded->metadata->opt_u64_2, 1ULL << 40);
    EXPECT_EQ(decoded->metadata->opt_u32_list, metadata.opt_u32_list);
    EXPECT_EQ(decoded->metadata->opt_f32_3, -1.0f);
}

// The in-place decoder answers exactly like the copying one, on the whole record and on every
// cut of it and every record with a byte too many, and its input data lies inside the record.
TEST(RequestEncoding, ViewDecoderAgreesWithTheCopyingOne) {
    const std::vector<std::int64_t> shape{2, 3};
    const std::vector<std::uint8_t> data{1, 2, 3, 4, 5, 6};
    const std::vector<NamedTensor> named{{"m", {shape, TensorDtype::Uint8, data}}};
    RequestMetadata metadata;
    metadata.api_token = "tok";
    const InferenceRequest request{
        {shape, TensorDtype::Int32, data}, named, std::string_view("s"), metadata};
    const auto bytes = encode_bytes(request);

    auto view = engine::decode_inference_request_view(bytes);
    ASSERT_TRUE(view) << view.error().message;
    const auto seen = view->input.data();
    EXPECT_TRUE(std::equal(seen.begin(), seen.end(), data.begin(), data.end()));
    EXPECT_GE(seen.data(), bytes.data());
    EXPECT_LE(seen.data() + seen.size(), bytes.data() + bytes.size());
    EXPECT_EQ(view->input.rank(), 2u);
    EXPECT_EQ(view->input.dim(1), 3);
    EXPECT_EQ(view->input.dtype(), TensorDtype::Int32);
    EXPECT_EQ(view->session_id, "s");
    ASSERT_TRUE(view->metadata);
    EXPECT_EQ(view->metadata->api_token, "tok");

    std::vector<std::vector<std::uint8_t>> malformed;
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        malformed.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    }
    malformed.push_back(bytes);
    malformed.back().push_back(0);
    for (const auto& record : malformed) {
        auto owned = engine::decode_inference_request(record);
        auto in_place = engine::decode_inference_request_view(record);
        ASSERT_FALSE(owned) << record.size() << " bytes";
        ASSERT_FALSE(in_place) << record.size() << " bytes";
        EXPECT_EQ(in_place.error().message, owned.error().message) << record.size() << " bytes";
    }
}

TEST(RequestEncoding, SizeOfAHugeTensorIsComputedWithoutTouchingIt) {
    // A 4 GiB read-only zero mapping: the size pass must only look at the span's length.
    const std::size_t four_gib = std::size_t{1} << 32;
    void* mapping =
        mmap(nullptr, four_gib, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(mapping), four_gib);
    InferenceRequest request{{{}, TensorDtype::Uint8, data}, {}, std::nullopt, std::nullopt};
    EXPECT_EQ(encoded_size(request), four_gib + 41);
    munmap(mapping, four_gib);
}

TEST(TransportRequestMetadata, EncodesTwentyFourBytes) {
    const std::uint64_t before = transport::wall_clock_ns();
    const auto metadata = transport::RequestMetadata::create(7, 0, 0, 0);
    const std::uint64_t after = transport::wall_clock_ns();
    std::uint8_t bytes[24];
    metadata.encode(bytes);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 16),
              hex("07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
    std::uint64_t stamp;
    std::memcpy(&stamp, bytes + 16, 8);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);

    const auto other = transport::RequestMetadata::create(0x0102030405060708ULL, 0xAABBCCDD, 1, 2);
    other.encode(bytes);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 16),
              hex("08 07 06 05 04 03 02 01 dd cc bb aa 01 02 00 00"));
}

// The gathered encoding, sent piece after piece, is exactly the contiguous record; tensor data
// from 512 bytes up is referenced where the caller keeps it, smaller data is copied in line.
TEST(RequestPieces, ConcatenationIsTheContiguousRecord) {
    const std::vector<std::int64_t> shape{2, 300};
    const std::vector<std::uint8_t> big(600, 0xAB), edge(512, 0x5C), below(511, 0x11), tiny{7};
    const std::vector<NamedTensor> named{
        {"edge", {shape, TensorDtype::Float16, edge}},
        {"below", {{}, TensorDtype::Uint8, below}},
        {"tiny", {shape, TensorDtype::String, tiny}},
        {"empty", {{}, TensorDtype::Int64, {}}},
    };
    InferenceRequest request{{shape, TensorDtype::Uint8, big}, named, "session", RequestMetadata{}};
    request.metadata->api_token = std::string(70, 't');
    RequestPieces pieces;
    for (int round = 0; round < 2; ++round) {  // the second round reuses the scratch
        pieces.encode(request);
        std::vector<std::uint8_t> joined;
        std::vector<const std::uint8_t*> referenced;
        for (std::span<const std::uint8_t> piece : pieces.pieces()) {
            EXPECT_FALSE(piece.empty());
            joined.insert(joined.end(), piece.begin(), piece.end());
            referenced.push_back(piece.data());
        }
        EXPECT_EQ(joined, encode_bytes(request));
        EXPECT_EQ(pieces.size(), joined.size());
        EXPECT_EQ(std::count(referenced.begin(), referenced.end(), big.data()), 1);
        EXPECT_EQ(std::count(referenced.begin(), referenced.end(), edge.data()), 1);
        EXPECT_EQ(std::count(referenced.begin(), referenced.end(), below.data()), 0);
        // big, edge and the three written stretches around them.
        EXPECT_EQ(pieces.pieces().size(), 5u);
    }
    // Without referenced data the whole record is one piece.
    const InferenceRequest plain{{{}, TensorDtype::Float32, tiny}, {}, std::nullopt, std::nullopt};
    pieces.encode(plain);
    ASSERT_EQ(pieces.pieces().size(), 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(pieces.pieces()[0].begin(), pieces.pieces()[0].end()),
              encode_bytes(plain));
}

TEST(RequestPieces, AHugeTensorIsReferencedNotCopied) {
    // 4 GiB of data that is never touched: only its address goes into the pieces.
    const std::size_t four_gib = std::size_t{1} << 32;
    void* mapping =
        mmap(nullptr, four_gib, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(mapping), four_gib);
    const InferenceRequest request{{{}, TensorDtype::Uint8, data}, {}, std::nullopt, std::nullopt};
    RequestPieces pieces;
    pieces.encode(request);
    EXPECT_EQ(pieces.size(), encoded_size(request));
    ASSERT_EQ(pieces.pieces().size(), 3u);
    EXPECT_EQ(pieces.pieces()[1].data(), data.data());
    EXPECT_EQ(pieces.pieces()[1].size(), four_gib);
    munmap(mapping, four_gib);
}

// A limit one byte short of the record refuses it and leaves no pieces from an earlier request;
// at exactly the record's size it encodes.
TEST(RequestPieces, EncodeWithinALimit) {
    const std::vector<std::int64_t> shape{3};
    const std::vector<std::uint8_t> data(600, 0x42);
    const InferenceRequest request{{shape, TensorDtype::Uint8, data}, {}, "s", std::nullopt};
    const std::uint64_t size = encoded_size(request);
    RequestPieces pieces;
    pieces.encode(request);
    EXPECT_FALSE(pieces.encode_within(request, size - 1));
    EXPECT_EQ(pieces.size(), size);
    EXPECT_TRUE(pieces.pieces().empty());
    ASSERT_TRUE(pieces.encode_within(request, size));
    std::vector<std::uint8_t> joined;
    for (std::span<const std::uint8_t> piece : pieces.pieces()) {
        joined.insert(joined.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(joined, encode_bytes(request));
}

}  // namespace
}  // namespace zelto::engine_api
