#include "shm/region_locks.hpp"

#include <fcntl.h>

#include <cerrno>
#include <string>

#include "common/retry_on_eintr.hpp"

namespace zelto::shm {
namespace {

struct flock one_byte(std::uint64_t byte, short type) {
    struct flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(byte);
    lock.l_len = 1;
    lock.l_pid = 0;  // must be 0 for open-file-description locks
    return lock;
}

}  // namespace

Result<RegionLocks, IoError> RegionLocks::open_for(int fd) {
    // Opening the descriptor's /proc entry makes a new description of the same object, even one
    // whose name the engine has since unlinked or reused.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    UniqueFd description(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!description.valid()) return unexpected(IoError::from_errno(errno));
    return RegionLocks(std::move(description));
}

bool RegionLocks::try_lock(std::uint64_t byte) const {
    struct flock lock = one_byte(byte, F_WRLCK);
    // EAGAIN/EACCES: another description holds it.
    return retry_on_eintr([&] { return ::fcntl(description_.get(), F_OFD_SETLK, &lock); }) == 0;
}

Result<void, IoError> RegionLocks::lock_waiting(std::uint64_t byte) const {
    struct flock lock = one_byte(byte, F_WRLCK);
    if (::fcntl(description_.get(), F_OFD_SETLKW, &lock) != 0) {
        return unexpected(IoError::from_errno(errno));
    }
    return {};
}

void RegionLocks::unlock(std::uint64_t byte) const {
    struct flock lock = one_byte(byte, F_UNLCK);
    retry_on_eintr([&] { return ::fcntl(description_.get(), F_OFD_SETLK, &lock); });
}

void RegionLocks::unlock_all() const {
    struct flock lock = one_byte(0, F_UNLCK);
    lock.l_len = 0;  // to the end of the file and beyond: every byte
    retry_on_eintr([&] { return ::fcntl(description_.get(), F_OFD_SETLK, &lock); });
}

}  // namespace zelto::shm
