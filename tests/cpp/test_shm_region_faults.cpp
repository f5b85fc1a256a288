// Accesses whose pages the system cannot provide: a mapping of four pages over a memfd of two,
// so the last two pages raise a real SIGBUS when touched.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "shm/region_faults.hpp"

namespace zelto::shm {
namespace {

const std::size_t kPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

class HalfBackedMapping {
  public:
    HalfBackedMapping() {
        const int fd = ::memfd_create("region-faults", MFD_CLOEXEC);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(2 * kPage)), 0);
        void* address = ::mmap(nullptr, 4 * kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        EXPECT_NE(address, MAP_FAILED);
        bytes_ = static_cast<std::uint8_t*>(address);
    }
    ~HalfBackedMapping() { ::munmap(bytes_, 4 * kPage); }
    std::uint8_t* bytes() const { return bytes_; }
    std::uint64_t size() const { return 4 * kPage; }

  private:
    std::uint8_t* bytes_ = nullptr;
};

TEST(RegionFaults, AnAccessThatCompletesReportsNothing) {
    HalfBackedMapping region;
    std::uint8_t copy[16] = {};
    std::memset(region.bytes() + kPage - 8, 0xAB, 16);
    auto fault = catch_region_faults(region.bytes(), region.size(), [&]() noexcept {
        std::memcpy(copy, region.bytes() + kPage - 8, sizeof copy);
    });
    EXPECT_FALSE(fault);
    EXPECT_EQ(copy[15], 0xAB);
}

TEST(RegionFaults, ReadsAndWritesBeyondTheBackedPagesEndWithTheirOffset) {
    HalfBackedMapping region;
    std::uint8_t copy[64] = {};
    // A copy that starts on a backed page and runs into the first one that is not.
    auto read = catch_region_faults(region.bytes(), region.size(), [&]() noexcept {
        std::memcpy(copy, region.bytes() + 2 * kPage - 32, sizeof copy);
    });
    ASSERT_TRUE(read);
    EXPECT_GE(read->offset, 2 * kPage - 32);
    EXPECT_LT(read->offset, 2 * kPage + 32);
    auto write = catch_region_faults(region.bytes(), region.size(),
                                     [&]() noexcept { region.bytes()[3 * kPage + 5] = 1; });
    ASSERT_TRUE(write);
    EXPECT_EQ(write->offset, 3 * kPage + 5);
    // Faults do not wear the handler out, and the backed pages are still usable.
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(catch_region_faults(region.bytes(), region.size(),
                                        [&]() noexcept { region.bytes()[3 * kPage] = 2; }));
    }
    EXPECT_FALSE(catch_region_faults(region.bytes(), region.size(),
                                     [&]() noexcept { region.bytes()[kPage] = 3; }));
}

TEST(RegionFaults, EachThreadCatchesItsOwnFaults) {
    HalfBackedMapping region;
    int caught = 0;
    std::thread other([&] {
        for (int i = 0; i < 200; ++i) {
            caught += catch_region_faults(region.bytes(), region.size(), [&]() noexcept {
                          region.bytes()[2 * kPage] = 1;
                      }).has_value();
        }
    });
    for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(catch_region_faults(region.bytes(), region.size(),
                                        [&]() noexcept { region.bytes()[3 * kPage] = 1; }));
    }
    other.join();
    EXPECT_EQ(caught, 200);
}

// What the program's own handler sees: a fault that is not inside an armed access of ours.
void exit_42(int) {
    ::_exit(42);
}

TEST(RegionFaultsDeathTest, FaultsOutsideAnAccessGoToTheProgramsHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct sigaction own{};
            own.sa_handler = &exit_42;
            sigemptyset(&own.sa_mask);
            ::sigaction(SIGBUS, &own, nullptr);
            HalfBackedMapping region;
            // The first access installs our handler in front of the program's.
            (void)catch_region_faults(region.bytes(), region.size(),
                                      [&]() noexcept { region.bytes()[0] = 1; });
            region.bytes()[3 * kPage] = 1;  // not inside an access
            ::_exit(0);
        },
        ::testing::ExitedWithCode(42), "");
}

TEST(RegionFaultsDeathTest, FaultsOutsideTheArmedRegionKeepTheDefaultAction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct sigaction fallback{};
            fallback.sa_handler = SIG_DFL;
            sigemptyset(&fallback.sa_mask);
            ::sigaction(SIGBUS, &fallback, nullptr);
            HalfBackedMapping armed;
            HalfBackedMapping other;
            // Inside an access, but on a page of another mapping than the one it covers.
            (void)catch_region_faults(armed.bytes(), armed.size(),
                                      [&]() noexcept { other.bytes()[3 * kPage] = 1; });
            ::_exit(0);
        },
        ::testing::KilledBySignal(SIGBUS), "");
}

}  // namespace
}  // namespace zelto::shm
