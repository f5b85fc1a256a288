// What every client object of this process attached to one shared-memory region shares, and how
// processes that use the region keep out of each other's way.
//
// Client objects on one region (one object, told apart by device and inode, not by name) share
// one slot allocator and one request-id counter, so threads that each hold their own object
// never hand out the same slot or id. Across processes, nothing in the region may change, so
// they coordinate through byte locks on the object (shm/region_locks.hpp), which the kernel
// drops when a process dies:
// - slots: a process uses a slot only once it holds its lock, and keeps the lock of one unused
//   slot per size class for its next call (shm/allocator.hpp), so a process that calls again
//   and again makes no system call for it;
// - request ids: each process holds a process number while attached, the lowest one free;
//   process 0 numbers its requests 1, 2, 3, ..., process n from n << 48 on, so ids are unique
//   among the processes attached at a time;
// - the response ring, which has one reader (a ZeltoShmClient takes every entry it pops): the
//   ZeltoShmClient objects of one process take turns, a call waiting for the one in progress,
//   and only one process at a time may have ZeltoShmClient objects on the region. The others
//   are refused at construction. ZeltoHybridClient objects get their answers over their own
//   sockets and share the region freely.
//
// A forked child shares its parent's open descriptions, and so its locks: every use checks the
// fork generation, and a child makes its own share (a description, locks and process number of
// its own) for the mapping it inherited. The inherited share is left alone: unlocking through it
// would drop the parent's locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "shm/allocator.hpp"
#include "shm/region_locks.hpp"
#include "shm/shm_manager.hpp"

namespace zelto::sdk {

class SharedRegion final : private shm::SlotClaims {
  public:
    static constexpr std::chrono::seconds kLease{30};
    // Process numbers live at kReservedBase + 1 + n; the response ring's reader at kReservedBase.
    static constexpr std::uint64_t kMaxProcesses = std::uint64_t{1} << 16;
    static constexpr unsigned kProcessIdShift = 48;

    // This process's share of the region `name`: the one an earlier client object made for the
    // same object, or a new one. The error is the text ConnectionError carries.
    static Result<std::shared_ptr<SharedRegion>, std::string> attach(const std::string& name);

    // `share` itself, or, in a process forked after it was made, this process's own share of
    // the same mapping. The error is the text RuntimeError carries.
    static Result<std::shared_ptr<SharedRegion>, std::string> for_this_process(
        const std::shared_ptr<SharedRegion>& share);

    ~SharedRegion();
    SharedRegion(const SharedRegion&) = delete;
    SharedRegion& operator=(const SharedRegion&) = delete;

    const shm::ShmManager& region() const { return *region_; }
    const std::shared_ptr<shm::ShmManager>& region_handle() const { return region_; }
    shm::TieredShmAllocator& allocator() { return allocator_; }

    // A new request id, never handed out before by this process nor by another attached now.
    std::uint64_t next_request_id() {
        return process_tag_ | next_request_number_.fetch_add(1, std::memory_order_relaxed);
    }

    // The response ring's reader: taken by each ZeltoShmClient object while it lives. False when
    // another process reads the ring (reading_elsewhere_text says so).
    bool add_response_reader();
    void remove_response_reader();
    std::string reading_elsewhere_text() const;

    // One ZeltoShmClient call at a time per process: try_take_response_turn does not wait;
    // wait_for_response_turn blocks (call it without the interpreter lock).
    bool try_take_response_turn() { return turn_.try_lock(); }
    void wait_for_response_turn() { turn_.lock(); }
    void give_back_response_turn() { turn_.unlock(); }

  private:
    struct Key {
        std::uint64_t device;
        std::uint64_t inode;
        std::uint64_t fork_generation;
    };

    SharedRegion(std::shared_ptr<shm::ShmManager> region, shm::RegionLocks locks,
                 std::uint64_t process_number, Key key);  // process_number: see next_request_id
    static Result<std::shared_ptr<SharedRegion>, std::string> share_of(
        std::shared_ptr<shm::ShmManager> region);

    bool claim(std::uint64_t offset) override { return locks_.try_lock(offset); }
    void unclaim(std::uint64_t offset) override { locks_.unlock(offset); }

    std::shared_ptr<shm::ShmManager> region_;
    shm::RegionLocks locks_;
    std::uint64_t process_tag_;  // the process number, shifted into the ids' top bits
    Key key_;
    shm::TieredShmAllocator allocator_;  // after locks_: it claims through them
    std::atomic<std::uint64_t> next_request_number_{1};
    std::mutex readers_mutex_;
    std::uint64_t response_readers_ = 0;
    std::mutex turn_;
};

}  // namespace zelto::sdk
