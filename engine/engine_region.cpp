// The engine's shared-memory region. Layout (offsets from the start of the object):
//
//   0        header (44 bytes used, rest of the first page zero)
//   4096     request ring  (1024 cells of 40 bytes = 40960)
//   45056    response ring (1024 cells of 48 bytes = 49152)
//   94208    tensor pool, --pool-size bytes (default 64 MiB), carved by the clients
//   after    result area (page aligned), --result-area bytes (default: the pool size, at least
//            1 MiB): where the engine writes result blocks and error texts, so that results
//            never overlap a slot a client may be using. A result goes to the mirror of its
//            request's pool position; what has no room there goes round robin.
//
// Keys: --shm NAME (created exclusively, unlinked again when the engine exits), --pool-size B,
// --result-area B, --notify-fd N (a descriptor inherited from the launcher, written into the
// header; without it the header says -1).
//
// Test knobs that falsify the header only (the engine itself keeps using the real layout):
//   --region-magic N, --region-version N, --region-request-ring-offset N,
//   --region-response-ring-offset N, --region-pool-offset N, --region-pool-size N.
#include "engine_region.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "common/io_error.hpp"
#include "common/little_endian.hpp"
#include "common/unique_fd.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_manager.hpp"

namespace zelto::engine {
namespace {

constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kRequestRingOffset = kPage;
constexpr std::uint64_t kResponseRingOffset = kRequestRingOffset + shm::RequestRing::kSpan;
constexpr std::uint64_t kPoolOffset = kResponseRingOffset + shm::ResponseRing::kSpan;
static_assert(kPoolOffset % kPage == 0);

constexpr std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

class ShmEngineRegion final : public EngineRegion {
  public:
    ShmEngineRegion(std::string name, UniqueFd fd, std::uint8_t* base, std::uint64_t size,
                    std::uint64_t result_start, int notify_fd)
        : name_(std::move(name)),
          fd_(std::move(fd)),
          base_(base),
          size_(size),
          result_start_(result_start),
          result_cursor_(result_start),
          notify_fd_(notify_fd) {}

    ~ShmEngineRegion() override {
        ::munmap(base_, static_cast<std::size_t>(size_));
        ::shm_unlink(name_.c_str());
    }

    std::uint8_t* base() const override { return base_; }
    std::uint64_t size() const override { return size_; }
    int notify_fd() const override { return notify_fd_; }

    std::uint64_t result_block(std::uint64_t request_offset, std::uint64_t block_size) override {
        const std::uint64_t area = size_ - result_start_;
        const std::uint64_t needed = align_up(block_size, 8);
        if (block_size == 0 || needed > area) return 0;
        // The request offset comes from a client: check it lies in the pool before using it.
        if (request_offset >= kPoolOffset && request_offset - kPoolOffset < area &&
            needed <= area - (request_offset - kPoolOffset)) {
            return result_start_ + (request_offset - kPoolOffset);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (needed > size_ - result_cursor_) result_cursor_ = result_start_;  // wrap around
        const std::uint64_t offset = result_cursor_;
        result_cursor_ += needed;
        return offset;
    }

  private:
    std::string name_;
    UniqueFd fd_;
    std::uint8_t* base_;
    std::uint64_t size_;
    std::uint64_t result_start_;
    std::mutex mutex_;
    std::uint64_t result_cursor_;
    int notify_fd_;
};

}  // namespace

std::unique_ptr<EngineRegion> EngineRegion::create(const EngineOptions& options,
                                                   std::string& error) {
    const std::string name = options.text("shm");
    const std::uint64_t pool_size = options.number("pool-size", 64ull << 20);
    const std::uint64_t result_area =
        options.number("result-area", pool_size < (1ull << 20) ? (1ull << 20) : pool_size);
    const int notify_fd =
        options.has("notify-fd") ? static_cast<int>(options.number("notify-fd")) : -1;

    const std::uint64_t result_start = align_up(kPoolOffset + pool_size, kPage);
    const std::uint64_t size = result_start + align_up(result_area, 8);

    UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        error = "cannot create shared memory object '" + name + "': " + os_error_text(errno);
        return nullptr;
    }
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        error = "cannot size shared memory object '" + name + "': " + os_error_text(errno);
        ::shm_unlink(name.c_str());
        return nullptr;
    }
    void* address = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                           MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) {
        error = "cannot map shared memory object '" + name + "': " + os_error_text(errno);
        ::shm_unlink(name.c_str());
        return nullptr;
    }
    auto* base = static_cast<std::uint8_t*>(address);

    // A freshly sized object reads as zeros, so both rings start empty. The header is filled
    // before "ready" is printed, i.e. before any client can attach.
    using H = shm::ShmRegionHeader;
    store_le<std::uint32_t>(base + H::kMagicOffset,
                            static_cast<std::uint32_t>(options.number("region-magic", H::kMagic)));
    store_le<std::uint32_t>(base + H::kVersionOffset, static_cast<std::uint32_t>(options.number(
                                                          "region-version", H::kVersion)));
    store_le<std::uint64_t>(base + H::kRequestRingOffset,
                            options.number("region-request-ring-offset", kRequestRingOffset));
    store_le<std::uint64_t>(base + H::kResponseRingOffset,
                            options.number("region-response-ring-offset", kResponseRingOffset));
    store_le<std::uint64_t>(base + H::kPoolOffset,
                            options.number("region-pool-offset", kPoolOffset));
    store_le<std::uint64_t>(base + H::kPoolSize, options.number("region-pool-size", pool_size));
    store_le<std::int32_t>(base + H::kNotifyFdOffset, notify_fd);

    return std::make_unique<ShmEngineRegion>(name, std::move(fd), base, size, result_start,
                                             notify_fd);
}

}  // namespace zelto::engine
