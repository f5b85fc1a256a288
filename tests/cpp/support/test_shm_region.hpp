// Test helper: a named shared-memory object made by the test itself, with the documented layout
// (or a deliberately broken one), removed again when the helper goes out of scope.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/little_endian.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_manager.hpp"

namespace zelto::shm::testing {

inline std::string unique_name(const std::string& stem) {
    static std::atomic<int> counter{0};
    return "/zt-" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

// An object holding exactly `bytes`.
class ShmObject {
  public:
    ShmObject(std::string name, const std::vector<std::uint8_t>& bytes) : name_(std::move(name)) {
        const int fd = ::shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) return;
        if (::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && !bytes.empty()) {
            void* map = ::mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED) {
                std::memcpy(map, bytes.data(), bytes.size());
                ::munmap(map, bytes.size());
            }
        }
        ::close(fd);
    }
    ~ShmObject() { ::shm_unlink(name_.c_str()); }
    ShmObject(const ShmObject&) = delete;
    ShmObject& operator=(const ShmObject&) = delete;
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

struct Layout {
    std::uint32_t magic = ShmRegionHeader::kMagic;
    std::uint32_t version = ShmRegionHeader::kVersion;
    std::uint64_t request_ring_offset = 4096;
    std::uint64_t response_ring_offset = 4096 + RequestRing::kSpan;
    std::uint64_t pool_offset = 4096 + RequestRing::kSpan + ResponseRing::kSpan;
    std::uint64_t pool_size = 1 << 20;
    std::int32_t notify_fd = -1;
    std::uint64_t size = 4096 + RequestRing::kSpan + ResponseRing::kSpan + (1 << 20);

    std::vector<std::uint8_t> bytes() const {
        std::vector<std::uint8_t> region(size, 0);
        std::uint8_t header[ShmRegionHeader::kSize] = {};
        store_le(header + 0, magic);
        store_le(header + 4, version);
        store_le(header + 8, request_ring_offset);
        store_le(header + 16, response_ring_offset);
        store_le(header + 24, pool_offset);
        store_le(header + 32, pool_size);
        store_le(header + 40, notify_fd);
        std::memcpy(region.data(), header, std::min<std::size_t>(size, sizeof header));
        return region;
    }
};

}  // namespace zelto::shm::testing
