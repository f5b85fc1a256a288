#include <gtest/gtest.h>

#include "common/utf8.hpp"

namespace zelto {
namespace {

TEST(Utf8, LossyReplacesEachInvalidSequence) {
    EXPECT_EQ(utf8_lossy(std::string_view("\xFF"
                                          "A")),
              "\xEF\xBF\xBD"
              "A");
    EXPECT_EQ(utf8_lossy(std::string_view("\xFF\xFE")), "\xEF\xBF\xBD\xEF\xBF\xBD");
    // A truncated three-byte sequence counts as one maximal subpart.
    EXPECT_EQ(utf8_lossy(std::string_view("a\xE2\x82"
                                          "b")),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(utf8_lossy(std::string_view("ok \xE2\x82\xAC")), "ok \xE2\x82\xAC");
    EXPECT_EQ(utf8_lossy(std::string_view("end\xF0\x9F")), "end\xEF\xBF\xBD");
}

TEST(Utf8, ErrorsCarryPositionAndLength) {
    auto error = find_utf8_error(std::string_view("ab\xC3\x28"));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->describe(), "invalid utf-8 sequence of 1 bytes from index 2");
    error = find_utf8_error(std::string_view("x\xE2\x82"));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->describe(), "incomplete utf-8 byte sequence from index 1");
    error = find_utf8_error(std::string_view("\xF0\x9F\x98\x28"));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->describe(), "invalid utf-8 sequence of 3 bytes from index 0");
    EXPECT_FALSE(find_utf8_error("float32"));
    // Surrogates encoded in UTF-8 are invalid.
    EXPECT_TRUE(find_utf8_error(std::string_view("\xED\xA0\x80")));
}

}  // namespace
}  // namespace zelto
