// The client's handle on the engine's shared-memory region: attach-only (never creates, resizes
// or unlinks), header checked on attach, unmapped and closed when the last holder lets go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/result.hpp"
#include "common/unique_fd.hpp"
#include "shm/region_faults.hpp"

namespace zelto::shm {

struct ShmError {
    enum class Kind {
        Shmem,
        InvalidMagic,
        VersionMismatch,
        // The header names rings or a pool that do not fit the mapping (see region_layout.hpp).
        InvalidLayout,
        // The header's page could not be read: the system cannot provide it (region_faults.hpp).
        Unreadable,
    };
    Kind kind = Kind::Shmem;
    int os_error = 0;  // for Shmem; zelto-shm-inspect explains some errno values further
    std::string message;

    // "Shared memory error: Opening the shared memory failed, os error N".
    static ShmError open_failed(int os_error);
    // "Invalid magic number in shared memory".
    static ShmError invalid_magic();
    // "Shared memory version mismatch".
    static ShmError version_mismatch();
    // "Invalid shared memory layout: <problem>".
    static ShmError invalid_layout(const std::string& problem);
    // "Shared memory error: the region's header could not be read (SIGBUS at offset N)".
    static ShmError unreadable(std::uint64_t offset);
};

// Header fields at offset 0 of the region (little-endian).
struct ShmRegionHeader {
    static constexpr std::uint32_t kMagic = 0x41494D4F;
    static constexpr std::uint32_t kVersion = 1;
    static constexpr std::size_t kSize = 44;  // bytes the clients read

    static constexpr std::size_t kMagicOffset = 0;
    static constexpr std::size_t kVersionOffset = 4;
    static constexpr std::size_t kRequestRingOffset = 8;
    static constexpr std::size_t kResponseRingOffset = 16;
    static constexpr std::size_t kPoolOffset = 24;
    static constexpr std::size_t kPoolSize = 32;
    static constexpr std::size_t kNotifyFdOffset = 40;

    std::uint32_t magic;
    std::uint32_t version;
    std::uint64_t request_ring_offset;
    std::uint64_t response_ring_offset;
    std::uint64_t pool_offset;
    std::uint64_t pool_size;
    std::int32_t notify_fd;

    // Reads the 44 header bytes at `region` (the caller guarantees they exist).
    static ShmRegionHeader read_from(const std::uint8_t* region);
};

class ShmManager {
  public:
    // Attaches to the existing object `name` (passed to the OS unchanged), checks magic, version
    // and that the rings and the pool lie inside the mapping. Leaves nothing open on failure.
    static Result<std::shared_ptr<ShmManager>, ShmError> connect(const std::string& name);
    ~ShmManager();
    ShmManager(const ShmManager&) = delete;
    ShmManager& operator=(const ShmManager&) = delete;

    std::uint8_t* base() const { return base_; }
    // The open descriptor of the object (kept open for the manager's whole life).
    int descriptor() const { return fd_.get(); }
    std::uint64_t size() const { return size_; }
    const std::string& name() const { return name_; }
    // The header as checked by connect. Ring and pool offsets are taken from this snapshot, so a
    // header rewritten later by the engine cannot move them outside the mapping.
    ShmRegionHeader header() const { return header_; }
    // notify_fd as the engine has it now (not an offset, so it needs no check).
    std::int32_t notify_fd() const;

    // Runs `access` on the mapping with its page faults caught (shm/region_faults.hpp, whose
    // rules `access` follows). Empty when it completed; otherwise what happened, as the text
    // the clients raise (describe_fault).
    template <class Access>
    std::optional<std::string> try_access(Access&& access) const {
        const auto fault = catch_region_faults(base_, size_, std::forward<Access>(access));
        if (!fault) return std::nullopt;
        return describe_fault(*fault);
    }

    // "Shared memory region '<name>' could not provide the page at offset N (SIGBUS): " and the
    // likely cause: the engine shrank the region, or its file system has no room for it.
    std::string describe_fault(RegionFault fault) const;

    // False when the name now refers to another object than the one mapped here: the engine
    // restarted and recreated its region, so offsets it sends point into that new object.
    // True when the name is unchanged or cannot be opened (the caller's own errors then speak).
    bool name_refers_to_mapping() const;

  private:
    ShmManager(std::string name, UniqueFd fd, std::uint8_t* base, std::uint64_t size,
               ShmRegionHeader header);

    std::string name_;
    UniqueFd fd_;
    std::uint8_t* base_;
    std::uint64_t size_;
    ShmRegionHeader header_;
};

}  // namespace zelto::shm
