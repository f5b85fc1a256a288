#include <gtest/gtest.h>

#include "common/io_error.hpp"
#include "common/result.hpp"

namespace zelto {
namespace {

TEST(OsErrorText, CarriesDescriptionAndCode) {
    EXPECT_EQ(os_error_text(111), "Connection refused (os error 111)");
    EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
}

TEST(IoError, ShortTransferTexts) {
    EXPECT_EQ(IoError::unexpected_eof().message, "failed to fill whole buffer");
    EXPECT_EQ(IoError::write_zero().message, "failed to write whole buffer");
    EXPECT_EQ(IoError::from_errno(32).code, 32);
}

TEST(Result, HoldsValueOrError) {
    Result<int, std::string> ok = 5;
    Result<int, std::string> failed = unexpected(std::string("bad"));
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, 5);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), "bad");
    Result<void, std::string> done;
    EXPECT_TRUE(done);
}

}  // namespace
}  // namespace zelto
