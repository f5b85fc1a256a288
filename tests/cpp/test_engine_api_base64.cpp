#include <gtest/gtest.h>

#include "engine_api/base64.hpp"

namespace zelto::engine_api {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Base64Decode, CanonicalTexts) {
    const std::pair<const char*, Bytes> cases[] = {
        {"", {}},
        {"AQID", {1, 2, 3}},
        {"AQI=", {1, 2}},
        {"AQ==", {1}},
        {"AQIDBA==", {1, 2, 3, 4}},
        {"/w==", {0xFF}},
        {"+/+/", {0xFB, 0xFF, 0xBF}},
    };
    for (const auto& [text, bytes] : cases) {
        auto decoded = base64_decode(text);
        ASSERT_TRUE(decoded) << text << ": " << decoded.error();
        EXPECT_EQ(*decoded, bytes) << text;
        EXPECT_EQ(base64_encode(bytes), text);
    }
}

TEST(Base64Decode, FailuresInCheckOrder) {
    const std::pair<std::string, std::string> cases[] = {
        {"AQI", "Invalid padding"},
        {"AQ", "Invalid padding"},
        {"AQ=", "Invalid padding"},
        {"AQIDAQ", "Invalid padding"},
        {"AR==", "Invalid last symbol 82, offset 1."},
        {"AQJ=", "Invalid last symbol 74, offset 2."},
        {"AQ\nD", "Invalid symbol 10, offset 2."},
        {"AQIDB", "Invalid input length: 5"},
        {"A", "Invalid input length: 1"},
        {"AQID\n", "Invalid symbol 10, offset 4."},
        {"A-==", "Invalid symbol 45, offset 1."},
        {"AQ_=", "Invalid symbol 95, offset 2."},
        {" AQI", "Invalid symbol 32, offset 0."},
        // Padding outside the last two places of the final group.
        {"=AQI", "Invalid symbol 61, offset 0."},
        {"A===", "Invalid symbol 61, offset 1."},
        {"AQ==AQID", "Invalid symbol 61, offset 2."},
        {"AQ===", "Invalid symbol 61, offset 2."},
        {"AQIDA=", "Invalid symbol 61, offset 5."},
        // A symbol after padding is reported as the first padding character.
        {"AQ=D", "Invalid symbol 61, offset 2."},
        {"AQ=!", "Invalid symbol 61, offset 2."},
        // A bad symbol wins over a bad length; a bad length over bad padding.
        {"A!IDB", "Invalid symbol 33, offset 1."},
        {"AQIDA", "Invalid input length: 5"},
        // Bad padding wins over a bad last symbol.
        {"AR", "Invalid padding"},
    };
    for (const auto& [text, message] : cases) {
        auto decoded = base64_decode(text);
        ASSERT_FALSE(decoded) << text;
        EXPECT_EQ(decoded.error(), message) << text;
    }
}

}  // namespace
}  // namespace zelto::engine_api
