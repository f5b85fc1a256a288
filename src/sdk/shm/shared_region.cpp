#include "sdk/shm/shared_region.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <tuple>
#include <utility>

#include "common/fork_generation.hpp"

namespace zelto::sdk {
namespace {

constexpr std::uint64_t kResponseReaderByte = shm::RegionLocks::kReservedBase;

std::uint64_t process_number_byte(std::uint64_t number) {
    return shm::RegionLocks::kReservedBase + 1 + number;
}

// The shares of this process, by object (device, inode) and fork generation; a share removes its
// entry when it goes.
struct SharedRegionRegistry {
    std::mutex mutex;
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, std::weak_ptr<SharedRegion>>
        shares;
};

SharedRegionRegistry& registry() {
    static SharedRegionRegistry* shares = new SharedRegionRegistry;  // never destroyed: clients
    return *shares;                                                  // may outlive statics
}

}  // namespace

Result<std::shared_ptr<SharedRegion>, std::string> SharedRegion::attach(const std::string& name) {
    auto region = shm::ShmManager::connect(name);
    if (!region) return unexpected(std::move(region.error().message));
    return share_of(std::move(*region));
}

Result<std::shared_ptr<SharedRegion>, std::string> SharedRegion::for_this_process(
    const std::shared_ptr<SharedRegion>& share) {
    if (share->key_.fork_generation == current_fork_generation()) return share;
    return share_of(share->region_);
}

Result<std::shared_ptr<SharedRegion>, std::string> SharedRegion::share_of(
    std::shared_ptr<shm::ShmManager> region) {
    watch_forks();  // before the generation is read
    struct stat object{};
    if (::fstat(region->descriptor(), &object) != 0) {
        return unexpected("Shared memory region '" + region->name() + "': " + os_error_text(errno));
    }
    const Key key{static_cast<std::uint64_t>(object.st_dev),
                  static_cast<std::uint64_t>(object.st_ino), current_fork_generation()};
    SharedRegionRegistry& shares = registry();
    std::lock_guard<std::mutex> lock(shares.mutex);
    auto& entry = shares.shares[{key.device, key.inode, key.fork_generation}];
    if (auto existing = entry.lock()) return existing;

    auto locks = shm::RegionLocks::open_for(region->descriptor());
    if (!locks) {
        return unexpected("Shared memory region '" + region->name() +
                          "': cannot open it for its locks: " + locks.error().message);
    }
    std::uint64_t number = 0;
    while (number < kMaxProcesses && !locks->try_lock(process_number_byte(number))) ++number;
    if (number == kMaxProcesses) {
        return unexpected("Shared memory region '" + region->name() + "': " +
                          std::to_string(kMaxProcesses) + " processes are attached already");
    }
    std::shared_ptr<SharedRegion> share(
        new SharedRegion(std::move(region), std::move(*locks), number, key));
    entry = share;
    return share;
}

SharedRegion::SharedRegion(std::shared_ptr<shm::ShmManager> region, shm::RegionLocks locks,
                           std::uint64_t process_number, Key key)
    : region_(std::move(region)),
      locks_(std::move(locks)),
      process_tag_(process_number << kProcessIdShift),
      key_(key),
      allocator_(shm::TieredShmAllocator::new_with_default_classes(
          region_->header().pool_offset, region_->header().pool_size, kLease, {}, this)) {}

SharedRegion::~SharedRegion() {
    {
        SharedRegionRegistry& shares = registry();
        std::lock_guard<std::mutex> lock(shares.mutex);
        auto found = shares.shares.find({key_.device, key_.inode, key_.fork_generation});
        if (found != shares.shares.end() && found->second.expired()) shares.shares.erase(found);
    }
    // In the process that made it, every lock goes now: a forked child may keep the description
    // open for longer. In a child the locks are the parent's, and stay.
    if (key_.fork_generation == current_fork_generation()) locks_.unlock_all();
}

bool SharedRegion::add_response_reader() {
    std::lock_guard<std::mutex> lock(readers_mutex_);
    if (response_readers_ == 0 && !locks_.try_lock(kResponseReaderByte)) return false;
    ++response_readers_;
    return true;
}

void SharedRegion::remove_response_reader() {
    std::lock_guard<std::mutex> lock(readers_mutex_);
    if (response_readers_ > 0 && --response_readers_ == 0 &&
        key_.fork_generation == current_fork_generation()) {
        locks_.unlock(kResponseReaderByte);
    }
}

std::string SharedRegion::reading_elsewhere_text() const {
    return "The response ring of shared memory region '" + region_->name() +
           "' is read by a ZeltoShmClient of another process: one process at a time may read "
           "it (ZeltoHybridClient objects can share the region)";
}

}  // namespace zelto::sdk
