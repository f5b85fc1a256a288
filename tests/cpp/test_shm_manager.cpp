#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <string>
#include <vector>

#include "shm/log.hpp"
#include "shm/shm_manager.hpp"
#include "support/test_shm_region.hpp"

namespace zelto::shm {
namespace {

using testing::Layout;
using testing::ShmObject;
using testing::unique_name;

int open_descriptor_count() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

std::string open_failure(int code) {
    return "Shared memory error: Opening the shared memory failed, os error " +
           std::to_string(code);
}

TEST(ShmManager, MissingObjectIsOsError2) {
    auto manager = ShmManager::connect(unique_name("missing"));
    ASSERT_FALSE(manager);
    EXPECT_EQ(manager.error().kind, ShmError::Kind::Shmem);
    EXPECT_EQ(manager.error().os_error, 2);
    EXPECT_EQ(manager.error().message, open_failure(2));
}

TEST(ShmManager, EmptyObjectFailsInMmapWith22) {
    ShmObject empty(unique_name("empty"), {});
    auto manager = ShmManager::connect(empty.name());
    ASSERT_FALSE(manager);
    EXPECT_EQ(manager.error().message, open_failure(22));
}

TEST(ShmManager, NameWithNulIsRefusedBeforeOpening) {
    // The prefix before the NUL names an existing valid region: opening it would succeed.
    ShmObject valid(unique_name("nul"), Layout{}.bytes());
    auto manager = ShmManager::connect(valid.name() + std::string(1, '\0') + "tail");
    ASSERT_FALSE(manager);
    EXPECT_EQ(manager.error().message, open_failure(22));
}

TEST(ShmManager, NameOf4096BytesIs36) {
    auto manager = ShmManager::connect("/" + std::string(4095, 'n'));
    ASSERT_FALSE(manager);
    EXPECT_EQ(manager.error().message, open_failure(36));
}

struct HeaderCase {
    const char* label;
    Layout layout;
    std::string text;
};

Layout with(void (*change)(Layout&)) {
    Layout layout;
    change(layout);
    return layout;
}

class ShmManagerHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ShmManagerHeader, RefusesWithExactText) {
    const int descriptors_before = open_descriptor_count();
    ShmObject object(unique_name("hdr"), GetParam().layout.bytes());
    auto manager = ShmManager::connect(object.name());
    ASSERT_FALSE(manager);
    EXPECT_EQ(manager.error().message, GetParam().text);
    EXPECT_EQ(open_descriptor_count(), descriptors_before);  // nothing left open
}

constexpr std::uint64_t kFullSize = Layout{}.size;

INSTANTIATE_TEST_SUITE_P(
    ShmManager, ShmManagerHeader,
    ::testing::Values(
        HeaderCase{"magic_big_endian", with([](Layout& l) { l.magic = 0x4F4D4941; }),
                   "Invalid magic number in shared memory"},
        HeaderCase{"magic_and_version_wrong", with([](Layout& l) {
                       l.magic = 0;
                       l.version = 2;
                   }),
                   "Invalid magic number in shared memory"},
        HeaderCase{"version_2", with([](Layout& l) { l.version = 2; }),
                   "Shared memory version mismatch"},
        HeaderCase{"two_bytes", with([](Layout& l) { l.size = 2; }),
                   "Invalid magic number in shared memory"},
        HeaderCase{"six_bytes", with([](Layout& l) { l.size = 6; }),
                   "Shared memory version mismatch"},
        HeaderCase{"eight_bytes", with([](Layout& l) { l.size = 8; }),
                   "Invalid shared memory layout: the 8-byte region is smaller than its 44-byte "
                   "header"},
        HeaderCase{"request_ring_past_end",
                   with([](Layout& l) { l.request_ring_offset = l.size - 40952; }),
                   "Invalid shared memory layout: request ring at offset " +
                       std::to_string(kFullSize - 40952) + " (40960 bytes) does not fit in the " +
                       std::to_string(kFullSize) + "-byte region"},
        HeaderCase{"response_ring_overflowing",
                   with([](Layout& l) { l.response_ring_offset = ~0ull - 8; }),
                   "Invalid shared memory layout: response ring at offset " +
                       std::to_string(~0ull - 8) + " (49152 bytes) does not fit in the " +
                       std::to_string(kFullSize) + "-byte region"},
        HeaderCase{"request_ring_misaligned", with([](Layout& l) { l.request_ring_offset = 4100; }),
                   "Invalid shared memory layout: request ring offset 4100 is not a multiple of 8"},
        HeaderCase{"pool_too_long", with([](Layout& l) { l.pool_size += 1; }),
                   "Invalid shared memory layout: tensor pool at offset 94208 (1048577 bytes) "
                   "does not fit in the " +
                       std::to_string(kFullSize) + "-byte region"},
        HeaderCase{"pool_wrapping", with([](Layout& l) {
                       l.pool_offset = 4096;
                       l.pool_size = ~0ull - 100;
                   }),
                   "Invalid shared memory layout: tensor pool at offset 4096 (" +
                       std::to_string(~0ull - 100) + " bytes) does not fit in the " +
                       std::to_string(kFullSize) + "-byte region"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ShmManager, RegionThatExactlyFitsIsAccepted) {
    // Rings at the very end, overlapping each other's unused cells' neighbours, pool to the end.
    Layout layout;
    layout.size = 44 + 4 + RequestRing::kSpan + ResponseRing::kSpan;
    layout.request_ring_offset = 48;
    layout.response_ring_offset = 48 + RequestRing::kSpan;
    layout.pool_offset = layout.size;
    layout.pool_size = 0;
    ShmObject object(unique_name("tight"), layout.bytes());
    auto manager = ShmManager::connect(object.name());
    ASSERT_TRUE(manager) << manager.error().message;
    EXPECT_EQ((*manager)->size(), layout.size);
    EXPECT_EQ((*manager)->header().response_ring_offset, layout.response_ring_offset);
}

TEST(ShmManager, ConnectReadsHeaderAndUnmapsWhenLastHolderLetsGo) {
    Layout layout;
    layout.notify_fd = 77;
    ShmObject object(unique_name("ok"), layout.bytes());
    const int descriptors_before = open_descriptor_count();
    std::uint8_t* base = nullptr;
    {
        auto manager = ShmManager::connect(object.name());
        ASSERT_TRUE(manager) << manager.error().message;
        std::shared_ptr<ShmManager> holder = *manager;
        base = holder->base();
        EXPECT_EQ(holder->name(), object.name());
        EXPECT_EQ(holder->size(), layout.size);
        const ShmRegionHeader header = holder->header();
        EXPECT_EQ(header.pool_offset, layout.pool_offset);
        EXPECT_EQ(header.pool_size, layout.pool_size);
        EXPECT_EQ(holder->notify_fd(), 77);
        EXPECT_EQ(open_descriptor_count(), descriptors_before + 1);
        std::shared_ptr<ShmManager> second = holder;
        holder.reset();
        EXPECT_EQ(msync(base, 4096, MS_ASYNC), 0);  // still mapped: `second` holds it
    }
    EXPECT_EQ(msync(base, 4096, MS_ASYNC), -1);
    EXPECT_EQ(errno, ENOMEM);  // unmapped
    EXPECT_EQ(open_descriptor_count(), descriptors_before);
    // The object was not unlinked: it can be attached again.
    EXPECT_TRUE(ShmManager::connect(object.name()));
}

TEST(ShmManager, LogsOneInfoLineWhenEnabled) {
    struct Line {
        LogLevel level;
        std::string target;
        std::string message;
    };
    std::vector<Line> lines;
    set_log_sink([&](LogLevel level, std::string_view target, std::string_view message) {
        lines.push_back({level, std::string(target), std::string(message)});
    });
    Layout layout;
    layout.size = 64 << 20;
    const std::string name = "engine_shm_" + std::to_string(getpid());
    ShmObject object(name, layout.bytes());

    ASSERT_EQ(log_threshold(), LogLevel::Off);
    ASSERT_TRUE(ShmManager::connect(name));
    EXPECT_TRUE(lines.empty());  // the threshold starts at Off

    set_log_threshold(LogLevel::Warn);
    ASSERT_TRUE(ShmManager::connect(name));
    EXPECT_TRUE(lines.empty());

    set_log_threshold(LogLevel::Info);
    ASSERT_TRUE(ShmManager::connect(name));
    EXPECT_FALSE(ShmManager::connect(name + "-missing"));
    set_log_threshold(LogLevel::Off);
    set_log_sink({});

    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LogLevel::Info);
    EXPECT_EQ(lines[0].target, "zelto_shm::memory");
    EXPECT_EQ(lines[0].message,
              "Connected to shared memory region '" + name + "' of size 67108864 bytes");
}

}  // namespace
}  // namespace zelto::shm
