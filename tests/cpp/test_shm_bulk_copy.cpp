#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "shm/bulk_copy.hpp"

namespace zelto::shm {
namespace {

constexpr std::size_t kGuard = 256;
constexpr std::uint8_t kGuardByte = 0xA5;

struct CopyCase {
    std::size_t size;
    std::size_t destination_shift;  // bytes past a 64-byte boundary
    std::size_t source_shift;
};

// Copies `size` bytes between buffers misaligned as asked and checks every copied byte and the
// guard bytes on both sides of the destination.
void check_copy(const CopyCase& c) {
    std::vector<std::uint8_t> source(c.size + 64 + kGuard);
    for (std::size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<std::uint8_t>(i * 131 + (i >> 13));
    }
    std::vector<std::uint8_t> destination(c.size + 2 * kGuard + 64, kGuardByte);

    auto aligned = [](std::uint8_t* p) {
        const auto address = reinterpret_cast<std::uintptr_t>(p);
        return p + ((64 - address % 64) % 64);
    };
    const std::uint8_t* from = aligned(source.data()) + c.source_shift;
    std::uint8_t* to = aligned(destination.data() + kGuard) + c.destination_shift;
    copy_for_other_process(to, from, c.size);

    std::size_t wrong = 0;
    for (std::size_t i = 0; i < c.size; ++i) wrong += to[i] != from[i];
    EXPECT_EQ(wrong, 0u) << "size " << c.size;
    for (std::uint8_t* p = destination.data(); p < to; ++p) ASSERT_EQ(*p, kGuardByte);
    for (std::uint8_t* p = to + c.size; p < destination.data() + destination.size(); ++p) {
        ASSERT_EQ(*p, kGuardByte);
    }
}

class BulkCopy : public ::testing::TestWithParam<std::size_t> {};

// Around the threshold (memcpy below, streaming stores from it on) and for the odd tails the
// streaming loop leaves to memcpy: the copy is exact whatever the alignment of either side.
TEST_P(BulkCopy, CopiesExactlyTheBytesAskedFor) {
    for (std::size_t destination_shift : {0, 1, 17, 63}) {
        for (std::size_t source_shift : {0, 5}) {
            check_copy({GetParam(), destination_shift, source_shift});
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shm, BulkCopy,
                         ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{63},
                                           std::size_t{4097}, kStreamingCopyThreshold - 1,
                                           kStreamingCopyThreshold, kStreamingCopyThreshold + 1,
                                           kStreamingCopyThreshold + 255,
                                           kStreamingCopyThreshold + 321));

}  // namespace
}  // namespace zelto::shm
