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
#include "shm/region_mapping.hpp"

namespace zelto::shm {

ShmError ShmError::open_failed(int os_error) {
    return {Kind::Shmem, os_error,
            "Shared memory error: Opening the shared memory failed, os error " +
                std::to_string(os_error)};
}

ShmError ShmError::invalid_magic() {
    return {Kind::InvalidMagic, 0, "Invalid magic number in shared memory"};
}

ShmError ShmError::version_mismatch() {
    return {Kind::VersionMismatch, 0, "Shared memory version mismatch"};
}

ShmError ShmError::invalid_layout(const std::string& problem) {
    return {Kind::InvalidLayout, 0, "Invalid shared memory layout: " + problem};
}

ShmError ShmError::unreadable(std::uint64_t offset) {
    return {Kind::Unreadable, 0,
            "Shared memory error: the region's header could not be read (SIGBUS at offset " +
                std::to_string(offset) + ")"};
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
    auto mapping = RegionMapping::open(name, RegionAccess::ReadWrite);
    if (!mapping) return unexpected(std::move(mapping).error());
    const std::uint64_t size = mapping->size();

    // The header is checked from a copy made once: its page may be one the system cannot
    // provide (shm/region_faults.hpp). check_region reads nothing past the header's bytes.
    std::uint8_t head[ShmRegionHeader::kSize] = {};
    const std::size_t readable = size < sizeof head ? static_cast<std::size_t>(size) : sizeof head;
    const std::uint8_t* const mapped = mapping->bytes();
    if (auto fault = catch_region_faults(mapped, size,
                                         [&]() noexcept { std::memcpy(head, mapped, readable); })) {
        return unexpected(ShmError::unreadable(fault->offset));
    }
    auto checked = check_region(head, size);
    if (!checked) return unexpected(std::move(checked).error());

    if (log_enabled(LogLevel::Info)) {
        log_message(LogLevel::Info, "zelto_shm::memory",
                    "Connected to shared memory region '" + name + "' of size " +
                        std::to_string(size) + " bytes");
    }
    // The mapping changes owner only once the manager exists, so a failed allocation unmaps it.
    std::string kept_name = name;
    std::unique_ptr<ShmManager> manager(
        new ShmManager(std::move(kept_name), UniqueFd{}, nullptr, size, *checked));
    manager->base_ = mapping->release(manager->fd_);
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
    std::string text = "Shared memory region '" + name_ +
                       "' could not provide the page at offset " + std::to_string(fault.offset) +
                       " (SIGBUS): ";
    struct stat now{};
    if (::fstat(fd_.get(), &now) == 0 && static_cast<std::uint64_t>(now.st_size) < size_) {
        return text + "the engine shrank the region from " + std::to_string(size_) + " to " +
               std::to_string(now.st_size) + " bytes after this client attached";
    }
    text += "the shared-memory file system holding it has no room for the region's pages";
    struct statfs room{};
    if (::fstatfs(fd_.get(), &room) != 0) return text;
    const auto block =
        static_cast<std::uint64_t>(room.f_frsize != 0 ? room.f_frsize : room.f_bsize);
    return text + " (" + std::to_string(block * room.f_blocks) + " bytes in all, " +
           std::to_string(block * room.f_bavail) + " free; the region is " + std::to_string(size_) +
           " bytes)";
}

bool ShmManager::name_refers_to_mapping() const {
    const UniqueFd current(::shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0));
    struct stat now{};
    struct stat mapped{};
    if (!current.valid() || ::fstat(current.get(), &now) != 0 || ::fstat(fd_.get(), &mapped) != 0) {
        return true;
    }
    return now.st_dev == mapped.st_dev && now.st_ino == mapped.st_ino;
}

}  // namespace zelto::shm
