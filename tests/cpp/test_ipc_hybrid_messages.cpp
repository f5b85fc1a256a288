#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ipc/hybrid_messages.hpp"

namespace zelto::ipc {
namespace {

std::vector<std::uint8_t> le64(std::uint64_t value) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return bytes;
}

void append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

TEST(HybridRequestFrame, IsFiftyTwoExactBytes) {
    HybridRequest request;
    request.metadata.request_id = 1;
    request.metadata.timestamp_ns = 0x1122334455667788ULL;
    request.shm_offset = 4096;
    request.shm_size = 88;

    std::vector<std::uint8_t> expected = {0, 0, 0, 0, 4, 0, 0, 0, 0x28, 0, 0, 0};
    append(expected, le64(1));
    append(expected, std::vector<std::uint8_t>(8, 0));
    append(expected, le64(0x1122334455667788ULL));
    append(expected, {0x00, 0x10, 0, 0, 0, 0, 0, 0});
    append(expected, {0x58, 0, 0, 0, 0, 0, 0, 0});

    const auto frame = encode_request_frame(request);
    EXPECT_EQ(std::vector<std::uint8_t>(frame.begin(), frame.end()), expected);
    const auto payload = request.encode();
    EXPECT_EQ(std::vector<std::uint8_t>(payload.begin(), payload.end()),
              std::vector<std::uint8_t>(expected.begin() + 12, expected.end()));
}

std::vector<std::uint8_t> response_body(std::size_t extra) {
    std::vector<std::uint8_t> body = le64(0xAABBCCDD00000009ULL);
    body.push_back(0xE5);                       // status
    append(body, {1, 2, 3, 4, 5, 6, 7});        // padding
    append(body, le64(123456789));              // latency_ns
    append(body, le64(0x0000000100002000ULL));  // shm_offset
    append(body, le64(4176));                   // shm_size
    body.insert(body.end(), extra, 0xEE);
    return body;
}

class HybridResponseDecode : public testing::TestWithParam<std::size_t> {};

TEST_P(HybridResponseDecode, ReadsTheFirstFortyBytes) {
    const auto body = response_body(GetParam());
    auto decoded = HybridResponse::decode(body.data(), body.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->metadata.request_id, 0xAABBCCDD00000009ULL);
    EXPECT_EQ(decoded->metadata.status, 0xE5);
    EXPECT_EQ(decoded->metadata.padding, (std::array<std::uint8_t, 7>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(decoded->metadata.latency_ns, 123456789u);
    EXPECT_EQ(decoded->shm_offset, 0x0000000100002000ULL);
    EXPECT_EQ(decoded->shm_size, 4176u);
    // Encoding the decoded record gives back the first 40 bytes.
    const auto again = decoded->encode();
    EXPECT_EQ(std::vector<std::uint8_t>(again.begin(), again.end()),
              std::vector<std::uint8_t>(body.begin(), body.begin() + 40));
}

INSTANTIATE_TEST_SUITE_P(FortyAndFortyEight, HybridResponseDecode, testing::Values(0, 8));

TEST(HybridResponseDecode, ShortBodiesAreTruncationErrors) {
    const auto body = response_body(0);
    for (std::size_t size : {0, 1, 24, 39}) {
        auto decoded = HybridResponse::decode(body.data(), size);
        ASSERT_FALSE(decoded) << size;
        EXPECT_EQ(decoded.error().message, "io error: unexpected end of file");
    }
}

}  // namespace
}  // namespace zelto::ipc
