// Advisory byte locks on the region's shared-memory object: how processes that use one region
// keep out of each other's way without a byte of the region changing.
//
// They are open-file-description locks (F_OFD_SETLK): held by one open description of the
// object, which this class opens for itself, and released by the kernel when that description
// closes, so a process that dies (SIGKILL included) leaves none behind. Two descriptions
// conflict whatever process holds them; one description never conflicts with itself, so the
// locks tell processes apart, not threads (those use the process's own mutexes). A forked child
// shares its parent's descriptions: it must open its own before it locks anything, and must not
// unlock anything through an inherited one (that would drop the parent's lock).
//
// A lock covers one byte at an offset that names what it stands for: a slot's own offset for the
// slot, and offsets from kReservedBase on (beyond any mapping) for the rest. Nothing is read or
// written there: a lock may lie past the end of the object.
#pragma once

#include <cstdint>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "common/unique_fd.hpp"

namespace zelto::shm {

class RegionLocks {
  public:
    static constexpr std::uint64_t kReservedBase = std::uint64_t{1} << 62;

    // A new open description of the object behind `fd` (any descriptor of the region).
    static Result<RegionLocks, IoError> open_for(int fd);

    // Takes the lock on `byte` if no other description holds it: true when taken (or already
    // held through this description), false when another one holds it.
    bool try_lock(std::uint64_t byte) const;

    // Waits until the lock on `byte` is taken. A signal ends the wait early (EINTR) so that the
    // caller can run its handlers: then the error is that.
    Result<void, IoError> lock_waiting(std::uint64_t byte) const;

    void unlock(std::uint64_t byte) const;
    // Every lock held through this description, in one call.
    void unlock_all() const;

  private:
    explicit RegionLocks(UniqueFd description) : description_(std::move(description)) {}

    UniqueFd description_;
};

}  // namespace zelto::shm
