// The client's handle on the engine's shared-memory region: attach-only (never creates, resizes
// or unlinks), header checked on attach, unmapped and closed when the last holder lets go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/result.hpp"
#include "common/unique_fd.hpp"

namespace zelto::shm {

struct ShmError {
    enum class Kind { Shmem, InvalidMagic, VersionMismatch };
    Kind kind = Kind::Shmem;
    int os_error = 0;  // for Shmem

    // "Shared memory error: Opening the shared memory failed, os error N",
    // "Invalid magic number in shared memory", "Shared memory version mismatch".
    std::string display() const;
};

// Header fields at offset 0 of the region (little-endian).
struct ShmRegionHeader {
    static constexpr std::uint32_t kMagic = 0x41494D4F;
    static constexpr std::uint32_t kVersion = 1;
    static constexpr std::size_t kSize = 44;  // bytes the clients read

    std::uint32_t magic;
    std::uint32_t version;
    std::uint64_t request_ring_offset;
    std::uint64_t response_ring_offset;
    std::uint64_t pool_offset;
    std::uint64_t pool_size;
    std::int32_t notify_fd;
};

class ShmManager {
public:
    static Result<std::shared_ptr<ShmManager>, ShmError> connect(const std::string& name);
    ~ShmManager();
    ShmManager(const ShmManager&) = delete;
    ShmManager& operator=(const ShmManager&) = delete;

    std::uint8_t* base() const { return base_; }
    std::uint64_t size() const { return size_; }
    const std::string& name() const { return name_; }
    // A snapshot of the header (the engine writes it before clients attach).
    ShmRegionHeader header() const;

private:
    ShmManager(std::string name, UniqueFd fd, std::uint8_t* base, std::uint64_t size);

    std::string name_;
    UniqueFd fd_;
    std::uint8_t* base_;
    std::uint64_t size_;
};

}  // namespace zelto::shm
