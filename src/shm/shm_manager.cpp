#include "shm/shm_manager.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/little_endian.hpp"
#include "shm/log.hpp"
#include "shm/region_layout.hpp"

namespace zelto::shm {
namespace {

constexpr std::size_t kMaxNameBytes = 4096;  // a name of this many bytes or more is refused

// Owns a mapping until released; keeps the failure paths of connect free of manual munmap.
class Mapping {
  public:
    Mapping(void* address, std::size_t size) : address_(address), size_(size) {}
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (address_ != nullptr) ::munmap(address_, size_);
    }
    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(address_); }
    std::uint8_t* release() { return static_cast<std::uint8_t*>(std::exchange(address_, nullptr)); }

  private:
    void* address_;
    std::size_t size_;
};

ShmError os_failure(int code) {
    return {ShmError::Kind::Shmem, code, {}};
}

}  // namespace

std::string ShmError::display() const {
    switch (kind) {
        case Kind::Shmem:
            return "Shared memory error: Opening the shared memory failed, os error " +
                   std::to_string(os_error);
        case Kind::InvalidMagic:
            return "Invalid magic number in shared memory";
        case Kind::VersionMismatch:
            return "Shared memory version mismatch";
        case Kind::InvalidLayout:
            return "Invalid shared memory layout: " + detail;
        case Kind::Unreadable:
            return "Shared memory error: the region's header could not be read (SIGBUS at offset " +
                   detail + ")";
    }
    return "Shared memory error";
}

ShmRegionHeader ShmRegionHeader::read_from(const std::uint8_t* region) {
    ShmRegionHeader header{};
    header.magic = load_le<std::uint32_t>(region + kMagicOffset);
    header.version = load_le<std::uint32_t>(region + kVersionOffset);
    header.request_ring_offset = load_le<std::uint64_t>(region + kRequestRingOffset);
    header.response_ring_offset = load_le<std::uint64_t>(region + kResponseRingOffset);
    header.pool_offset = load_le<std::uint64_t>(region + kPoolOffset);
    header.pool_size = load_le<std::uint64_t>(region + kPoolSize);
    header.notify_fd = load_le<std::int32_t>(region + kNotifyFdOffset);
    return header;
}

Result<std::shared_ptr<ShmManager>, ShmError> ShmManager::connect(const std::string& name) {
    if (name.size() >= kMaxNameBytes) return unexpected(os_failure(ENAMETOOLONG));
    if (name.find('\0') != std::string::npos) return unexpected(os_failure(EINVAL));

    // No O_CREAT: the engine owns the object; the mode only matters for creation.
    UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0400));
    if (!fd.valid()) return unexpected(os_failure(errno));

    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return unexpected(os_failure(errno));
    const auto size = static_cast<std::uint64_t>(status.st_size);

    // An object of size 0 fails here with EINVAL.
    void* address = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                           MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) return unexpected(os_failure(errno));
    Mapping mapping(address, static_cast<std::size_t>(size));

    // The header is read once, from a copy: its page may be one the system cannot provide.
    std::uint8_t region[ShmRegionHeader::kSize] = {};
    const std::size_t readable = size < sizeof region ? static_cast<std::size_t>(size) : sizeof region;
    const std::uint8_t* const mapped = mapping.bytes();
    if (auto fault = catch_region_faults(mapped, size,
                                         [&]() noexcept { std::memcpy(region, mapped, readable); })) {
        return unexpected(ShmError{ShmError::Kind::Unreadable, 0, std::to_string(fault->offset)});
    }

    // Fields are only read where the object really has bytes: a tiny object must not be read
    // past its end, even though the page behind it happens to be mapped.
    if (size < ShmRegionHeader::kMagicOffset + 4 ||
        load_le<std::uint32_t>(region + ShmRegionHeader::kMagicOffset) != ShmRegionHeader::kMagic) {
        return unexpected(ShmError{ShmError::Kind::InvalidMagic, 0, {}});
    }
    if (size < ShmRegionHeader::kVersionOffset + 4 ||
        load_le<std::uint32_t>(region + ShmRegionHeader::kVersionOffset) !=
            ShmRegionHeader::kVersion) {
        return unexpected(ShmError{ShmError::Kind::VersionMismatch, 0, {}});
    }
    if (size < ShmRegionHeader::kSize) {
        return unexpected(ShmError{ShmError::Kind::InvalidLayout, 0,
                                   *check_region_layout(ShmRegionHeader{}, size)});
    }
    const ShmRegionHeader header = ShmRegionHeader::read_from(region);
    if (auto problem = check_region_layout(header, size)) {
        return unexpected(ShmError{ShmError::Kind::InvalidLayout, 0, std::move(*problem)});
    }

    if (log_enabled(LogLevel::Info)) {
        log_message(LogLevel::Info, "zelto_shm::memory",
                    "Connected to shared memory region '" + name + "' of size " +
                        std::to_string(size) + " bytes");
    }
    // The mapping changes owner only once the manager exists, so a failed allocation unmaps it.
    std::string kept_name = name;
    std::unique_ptr<ShmManager> manager(
        new ShmManager(std::move(kept_name), std::move(fd), mapping.bytes(), size, header));
    mapping.release();
    return std::shared_ptr<ShmManager>(std::move(manager));
}

ShmManager::ShmManager(std::string name, UniqueFd fd, std::uint8_t* base, std::uint64_t size,
                       ShmRegionHeader header)
    : name_(std::move(name)), fd_(std::move(fd)), base_(base), size_(size), header_(header) {}

ShmManager::~ShmManager() {
    // Never shm_unlink: the object belongs to the engine. The descriptor closes with fd_.
    if (base_ != nullptr) ::munmap(base_, static_cast<std::size_t>(size_));
}

std::int32_t ShmManager::notify_fd() const {
    // The engine may write the field while we read it; an atomic load keeps that well-defined.
    // A header page that is gone reads as "no descriptor": the ring accesses that follow report
    // the fault.
    std::int32_t fd = -1;
    try_access([&]() noexcept {
        fd = std::atomic_ref<std::int32_t>(
                 *reinterpret_cast<std::int32_t*>(base_ + ShmRegionHeader::kNotifyFdOffset))
                 .load(std::memory_order_relaxed);
    });
    return fd;
}

std::string ShmManager::describe_fault(RegionFault fault) const {
    std::string text = "Shared memory region '" + name_ + "' could not provide the page at offset " +
                       std::to_string(fault.offset) + " (SIGBUS): ";
    struct stat now {};
    if (::fstat(fd_.get(), &now) == 0 && static_cast<std::uint64_t>(now.st_size) < size_) {
        return text + "the engine shrank the region from " + std::to_string(size_) + " to " +
               std::to_string(now.st_size) + " bytes after this client attached";
    }
    text += "the shared-memory file system holding it has no room for the region's pages";
    struct statfs room {};
    if (::fstatfs(fd_.get(), &room) != 0) return text;
    const auto block = static_cast<std::uint64_t>(room.f_frsize != 0 ? room.f_frsize : room.f_bsize);
    return text + " (" + std::to_string(block * room.f_blocks) + " bytes in all, " +
           std::to_string(block * room.f_bavail) + " free; the region is " +
           std::to_string(size_) + " bytes)";
}

bool ShmManager::name_refers_to_mapping() const {
    const UniqueFd current(::shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0));
    struct stat now {};
    struct stat mapped {};
    if (!current.valid() || ::fstat(current.get(), &now) != 0 || ::fstat(fd_.get(), &mapped) != 0) {
        return true;
    }
    return now.st_dev == mapped.st_dev && now.st_ino == mapped.st_ino;
}

}  // namespace zelto::shm
