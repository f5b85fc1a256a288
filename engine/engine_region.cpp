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
// header; without it the header says -1), --replace-stale.
//
// The engine holds an exclusive flock on its object for as long as it runs; the kernel drops it
// when the engine dies, however it dies. So an object of that name whose lock can be taken and
// whose header carries the region's magic number and version was left behind by a killed engine:
// with --replace-stale it is unlinked and created anew. Any other object is never touched.
//
// Test knobs that falsify the header only (the engine itself keeps using the real layout):
//   --region-magic N, --region-version N, --region-request-ring-offset N,
//   --region-response-ring-offset N, --region-pool-offset N, --region-pool-size N.
#include "engine_region.hpp"

#include <fcntl.h>
#include <sys/file.h>
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

constexpr OptionSpec kRegionOptions[] = {
    {"shm", OptionValue::Text, "NAME",
     "create the shared-memory region NAME (e.g. /zelto_shm); unlinked again on exit"},
    {"pool-size", OptionValue::Number, "BYTES", "the clients' tensor pool (default 64 MiB)"},
    {"result-area", OptionValue::Number, "BYTES",
     "the engine's result area behind the pool (default: the pool size, at least 1 MiB)"},
    {"notify-fd", OptionValue::Number, "N",
     "an eventfd inherited from the launcher, announced in the header and written after "
     "every answer"},
    {"region-magic", OptionValue::Number, "N", "test knob: the header's magic number"},
    {"region-version", OptionValue::Number, "N", "test knob: the header's version"},
    {"region-request-ring-offset", OptionValue::Number, "N", "test knob: the header's field"},
    {"region-response-ring-offset", OptionValue::Number, "N", "test knob: the header's field"},
    {"region-pool-offset", OptionValue::Number, "N", "test knob: the header's field"},
    {"region-pool-size", OptionValue::Number, "N", "test knob: the header's field"},
};

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

// Whether the existing object `name` was left behind by a dead engine (see the top of this file).
bool is_stale_region(const std::string& name) {
    const UniqueFd fd(::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
    std::uint8_t head[8] = {};
    using H = shm::ShmRegionHeader;
    return ::pread(fd.get(), head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           load_le<std::uint32_t>(head + H::kMagicOffset) == H::kMagic &&
           load_le<std::uint32_t>(head + H::kVersionOffset) == H::kVersion;
}

// Creates `name` exclusively and locks it for the engine's lifetime; with `replace_stale` an
// object a dead engine left behind is replaced.
Result<UniqueFd, std::string> create_object(const std::string& name, bool replace_stale) {
    const auto create = [&name] {
        return UniqueFd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    };
    UniqueFd fd = create();
    int code = fd.valid() ? 0 : errno;  // before the probe below sets errno of its own
    if (code == EEXIST && replace_stale && is_stale_region(name)) {
        ::shm_unlink(name.c_str());
        fd = create();
        code = fd.valid() ? 0 : errno;
    }
    if (!fd.valid()) {
        std::string error =
            "cannot create shared memory object '" + name + "': " + os_error_text(code);
        if (code == EEXIST) {
            error += replace_stale ? " (a running engine holds it, or it is not a region of ours)"
                                   : " (one left behind by a killed engine is replaced with "
                                     "--replace-stale)";
        }
        return unexpected(std::move(error));
    }
    // Blocking: a starting engine that probes this object holds the lock only for a moment.
    ::flock(fd.get(), LOCK_EX);
    return fd;
}

}  // namespace

std::span<const OptionSpec> region_options() {
    return kRegionOptions;
}

Result<std::unique_ptr<EngineRegion>, std::string> EngineRegion::create(
    const EngineOptions& options) {
    const std::string name = options.text("shm");
    const std::uint64_t pool_size = options.number("pool-size", 64ull << 20);
    const std::uint64_t result_area =
        options.number("result-area", pool_size < (1ull << 20) ? (1ull << 20) : pool_size);
    const int notify_fd =
        options.has("notify-fd") ? static_cast<int>(options.number("notify-fd")) : -1;

    const std::uint64_t result_start = align_up(kPoolOffset + pool_size, kPage);
    const std::uint64_t size = result_start + align_up(result_area, 8);

    Result<UniqueFd, std::string> created = create_object(name, options.has("replace-stale"));
    if (!created) return unexpected(std::move(created).error());
    UniqueFd fd = std::move(*created);
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        std::string error =
            "cannot size shared memory object '" + name + "': " + os_error_text(errno);
        ::shm_unlink(name.c_str());
        return unexpected(std::move(error));
    }
    void* address = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                           MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) {
        std::string error =
            "cannot map shared memory object '" + name + "': " + os_error_text(errno);
        ::shm_unlink(name.c_str());
        return unexpected(std::move(error));
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

    return std::unique_ptr<EngineRegion>(std::make_unique<ShmEngineRegion>(
        name, std::move(fd), base, size, result_start, notify_fd));
}

}  // namespace zelto::engine
