#include "shm/region_mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

namespace zelto::shm {
namespace {

constexpr std::size_t kMaxNameBytes = 4096;  // a name of this many bytes or more is refused

}  // namespace

Result<RegionMapping, ShmError> RegionMapping::open(const std::string& name, RegionAccess access) {
    if (name.size() >= kMaxNameBytes) return unexpected(ShmError::open_failed(ENAMETOOLONG));
    if (name.find('\0') != std::string::npos) return unexpected(ShmError::open_failed(EINVAL));
    const bool writable = access == RegionAccess::ReadWrite;

    // No O_CREAT: the engine owns the object; the mode only matters for creation.
    UniqueFd fd(::shm_open(name.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0400));
    if (!fd.valid()) return unexpected(ShmError::open_failed(errno));

    struct stat status{};
    if (::fstat(fd.get(), &status) != 0) return unexpected(ShmError::open_failed(errno));
    const auto size = static_cast<std::uint64_t>(status.st_size);

    // An object of size 0 fails here with EINVAL.
    void* address = ::mmap(nullptr, static_cast<std::size_t>(size),
                           writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) return unexpected(ShmError::open_failed(errno));
    return RegionMapping(std::move(fd), static_cast<std::uint8_t*>(address), size);
}

RegionMapping::RegionMapping(RegionMapping&& other) noexcept
    : fd_(std::move(other.fd_)),
      bytes_(std::exchange(other.bytes_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

RegionMapping& RegionMapping::operator=(RegionMapping&& other) noexcept {
    if (this != &other) {
        unmap();
        fd_ = std::move(other.fd_);
        bytes_ = std::exchange(other.bytes_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

RegionMapping::~RegionMapping() {
    unmap();
}

void RegionMapping::unmap() {
    if (bytes_ != nullptr) ::munmap(bytes_, static_cast<std::size_t>(size_));
    bytes_ = nullptr;
}

std::uint8_t* RegionMapping::release(UniqueFd& fd) {
    fd = std::move(fd_);
    size_ = 0;
    return std::exchange(bytes_, nullptr);
}

}  // namespace zelto::shm
