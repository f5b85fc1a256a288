#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/little_endian.hpp"
#include "shm/tensor_block.hpp"

namespace zelto::shm {
namespace {

using engine_api::TensorDtype;

TEST(TensorBlock, DtypeCodes) {
    EXPECT_EQ(dtype_code(TensorDtype::Float32), 0);
    EXPECT_EQ(dtype_code(TensorDtype::Float64), 1);
    EXPECT_EQ(dtype_code(TensorDtype::Float16), 0);
    EXPECT_EQ(dtype_code(TensorDtype::Int32), 2);
    EXPECT_EQ(dtype_code(TensorDtype::Int64), 3);
    EXPECT_EQ(dtype_code(TensorDtype::Uint8), 0);
    EXPECT_EQ(dtype_code(TensorDtype::String), 0);
}

std::vector<std::uint8_t> expected_header(std::uint32_t ndim, std::uint8_t code,
                                          std::vector<std::int64_t> dims, std::uint64_t data_len) {
    std::vector<std::uint8_t> header(80, 0);
    store_le(header.data(), ndim);
    header[4] = code;
    for (std::size_t i = 0; i < dims.size(); ++i) store_le(header.data() + 8 + 8 * i, dims[i]);
    store_le(header.data() + 72, data_len);
    return header;
}

TEST(TensorBlock, WritesHeaderThenDataExactly) {
    std::vector<std::uint8_t> slot(200, 0xEE);
    const std::int64_t dims[] = {2, 3};
    const std::vector<std::uint8_t> data(24, 0);
    write_tensor_block(slot.data(), dims, 2, TensorDtype::Float32, data.data(), data.size());
    std::vector<std::uint8_t> expected = expected_header(2, 0, {2, 3}, 24);
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(std::vector<std::uint8_t>(slot.begin(), slot.begin() + 104), expected);
    EXPECT_EQ(slot[104], 0xEE);  // nothing past the block
}

TEST(TensorBlock, EmptyShapeAndNegativeDims) {
    std::vector<std::uint8_t> slot(80, 0xEE);
    write_tensor_block(slot.data(), nullptr, 0, TensorDtype::Int64, nullptr, 0);
    EXPECT_EQ(slot, expected_header(0, 3, {}, 0));

    std::vector<std::uint8_t> full(90, 0xEE);
    const std::int64_t dims[] = {-1, 1, 2, 3, 4, 5, 6, 7};
    const std::uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    write_tensor_block(full.data(), dims, 8, TensorDtype::Float64, data, sizeof data);
    std::vector<std::uint8_t> expected = expected_header(8, 1, {-1, 1, 2, 3, 4, 5, 6, 7}, 10);
    expected.insert(expected.end(), std::begin(data), std::end(data));
    EXPECT_EQ(full, expected);
}

struct BlockCase {
    const char* label;
    std::uint64_t offset;
    std::uint64_t data_len;
    bool fits;
    std::string error;
};

class LocateBlock : public ::testing::TestWithParam<BlockCase> {};

TEST_P(LocateBlock, ChecksHeaderAndDataAgainstTheMapping) {
    constexpr std::uint64_t kRegion = 1000;
    std::vector<std::uint8_t> region(kRegion + 80, 0);  // slack so writing the test case is safe
    const BlockCase& c = GetParam();
    if (c.offset + 80 <= region.size()) store_le(region.data() + c.offset + 72, c.data_len);
    auto block = locate_block_data(kRegion, c.offset, region.data());
    ASSERT_EQ(block.has_value(), c.fits);
    if (block) {
        EXPECT_EQ(block->data_offset, c.offset + 80);
        EXPECT_EQ(block->data_len, c.data_len);
    } else {
        EXPECT_EQ(block.error(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    TensorBlock, LocateBlock,
    ::testing::Values(
        BlockCase{"exact_fit", 900, 20, true, ""}, BlockCase{"empty_at_end", 920, 0, true, ""},
        BlockCase{"header_past_end", 921, 0, false,
                  "result tensor block at offset 921 does not fit in the 1000-byte region"},
        BlockCase{"offset_huge", ~0ull - 10, 0, false,
                  "result tensor block at offset " + std::to_string(~0ull - 10) +
                      " does not fit in the 1000-byte region"},
        BlockCase{"data_one_too_many", 900, 21, false,
                  "result tensor block at offset 900 claims 21 data bytes, more than the "
                  "1000-byte region holds"},
        BlockCase{"data_len_wraps", 0, ~0ull - 40, false,
                  "result tensor block at offset 0 claims " + std::to_string(~0ull - 40) +
                      " data bytes, more than the 1000-byte region holds"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ErrorText, DecodesLossilyAndChecksBounds) {
    std::vector<std::uint8_t> region(64, 0);
    const char text[] = "bad \xFF byte";
    store_le<std::uint64_t>(region.data() + 8, sizeof text - 1);
    std::memcpy(region.data() + 16, text, sizeof text - 1);
    const auto span = locate_error_text(region.data(), region.size(), 8);
    ASSERT_TRUE(span);
    EXPECT_EQ(span->offset, 16u);
    EXPECT_EQ(error_text_from_bytes(region.data() + span->offset, span->length),
              std::string("bad \xEF\xBF\xBD byte"));

    store_le<std::uint64_t>(region.data() + 40, 17);  // 48 + 17 > 64
    auto too_long = locate_error_text(region.data(), region.size(), 40);
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error(),
              "engine error text at offset 40 claims 17 bytes, more than the 64-byte "
              "region holds");
    store_le<std::uint64_t>(region.data() + 40, 16);  // exactly to the end
    EXPECT_TRUE(locate_error_text(region.data(), region.size(), 40));

    auto outside = locate_error_text(region.data(), region.size(), 57);
    ASSERT_FALSE(outside);
    EXPECT_EQ(outside.error(), "engine error text at offset 57 does not fit in the 64-byte region");
    store_le<std::uint64_t>(region.data() + 0, ~0ull - 3);
    EXPECT_FALSE(locate_error_text(region.data(), region.size(), 0));
}

}  // namespace
}  // namespace zelto::shm
