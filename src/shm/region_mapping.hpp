// The engine's shared-memory object opened by name and mapped whole: never created, resized or
// unlinked here (the object belongs to the engine). Read-write for the clients; read-only for
// tools that only look (zelto-shm-inspect), whose descriptor is opened O_RDONLY and mapped
// PROT_READ, so nothing can be written through it.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.hpp"
#include "common/unique_fd.hpp"
#include "shm/shm_manager.hpp"

namespace zelto::shm {

enum class RegionAccess { ReadWrite, ReadOnly };

class RegionMapping {
  public:
    // Fails with ShmError::Kind::Shmem and the OS error: no such object, no permission, a name
    // of 4096 bytes or more or with a NUL byte, an empty object (mmap refuses it with EINVAL).
    static Result<RegionMapping, ShmError> open(const std::string& name, RegionAccess access);

    RegionMapping(RegionMapping&& other) noexcept;
    RegionMapping& operator=(RegionMapping&& other) noexcept;
    RegionMapping(const RegionMapping&) = delete;
    RegionMapping& operator=(const RegionMapping&) = delete;
    ~RegionMapping();

    const std::uint8_t* bytes() const { return bytes_; }
    std::uint64_t size() const { return size_; }

    // Hands the mapping and its descriptor (into `fd`) to a new owner, who unmaps it.
    std::uint8_t* release(UniqueFd& fd);

  private:
    RegionMapping(UniqueFd fd, std::uint8_t* bytes, std::uint64_t size)
        : fd_(std::move(fd)), bytes_(bytes), size_(size) {}
    void unmap();

    UniqueFd fd_;
    std::uint8_t* bytes_ = nullptr;
    std::uint64_t size_ = 0;
};

}  // namespace zelto::shm
