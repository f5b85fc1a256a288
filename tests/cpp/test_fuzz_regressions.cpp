// Inputs that the fuzz targets of fuzz/ once failed on, replayed exactly, with the outcome that
// is right for them. Each test names the target and the property that caught it.
// Named for where its cases come from, not for a layer: the targets read engine_api, ipc,
// transport and sdk input, and the cases of every target collect here (fuzz/README.md).
#include <gtest/gtest.h>

#include <string>

#include "sdk/socket/endpoint.hpp"

namespace zelto {
namespace {

// fuzz_endpoint, "trim removed more than white space": C0 8C is an overlong (malformed) spelling
// of U+000C FORM FEED. It was decoded as the form feed and trimmed, although only valid UTF-8
// white space may be trimmed and malformed bytes must stop the trim.
TEST(FuzzRegression, OverlongFormFeedIsNotTrimmed) {
    const std::string text("\xC0\x8C\xDA\x8F\x93\xFB\x6C", 7);
    EXPECT_EQ(sdk::trim_white_space(text), text);

    // The fuzz input itself: every argument given, port 0xFF79, the endpoint above and the other
    // texts empty, which leaves the endpoint to decide.
    sdk::EndpointArgs args;
    args.endpoint = text;
    args.protocol = "";
    args.host = "";
    args.port = 0xFF79;
    args.socket_path = "";
    args.pipe_name = "";
    auto target = sdk::resolve_endpoint(args);
    ASSERT_TRUE(target.has_value()) << target.error().message;
    EXPECT_EQ(*target, sdk::ConnectionTarget::unix_socket(text));
}

// The same rule at the end of the text and for the overlong blank, C0 A0: both are kept, while
// the valid spellings around them are still trimmed.
TEST(FuzzRegression, OverlongBlankAtEitherEndIsKept) {
    EXPECT_EQ(sdk::trim_white_space(std::string("/s\xC0\xA0", 4)), std::string("/s\xC0\xA0", 4));
    EXPECT_EQ(sdk::trim_white_space(std::string(" \xC0\xA0/s\xE3\x80\x80", 8)),
              std::string("\xC0\xA0/s", 4));
    EXPECT_EQ(sdk::trim_white_space(std::string("\xE0\x80\xA0x", 4)),
              std::string("\xE0\x80\xA0x", 4));
}

}  // namespace
}  // namespace zelto
