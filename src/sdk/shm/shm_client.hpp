// The Python-free core of ZeltoShmClient: this process's share of one region (the mapping, and the
// slot allocator and request-id counter that every client object on it uses, see
// sdk/shm/shared_region.hpp). A call is split so the Python layer controls the interpreter lock and
// signal checks:
//
//   auto pending = core.begin(input, turn);    // id, slot, dtype, block, request entry (lock held)
//   int fd = pending->notify_fd();
//   if (fd >= 0) {
//       bool published = *pending->spin_until_published(hook);  // watch the ring (lock held)
//       if (!published || !pending->take_notification_now(fd))  // answer there: take its
//           pending->wait_notification(fd);    // notification along; else kernel wait (lock
//           released)
//   }
//   auto entry = pending->poll_response(hook);  // ring polling; hook() runs between polls
//   auto result = pending->answer(*entry);      // result view into the region, or the engine error
//   pending->copy_result(*result, memory);     // the one copy out; then let `pending` go: its
//                                              // destructor releases the request's slot.
//
// The slot is owned by the pending request (a SlotLease), so every way out of a call after the
// slot was taken - errors, time-out, an exception raised by a signal handler - releases it. So is
// the process's turn on the response ring (one call at a time per region,
// sdk/shm/shared_region.hpp), taken before begin:
//
//   core.adopt_after_fork();  auto turn = core.try_take_turn();  // or core.wait_for_turn()
//
// Every wait of a call (the watch of the ring, the notification's lag, the polling) spends its
// time as common/idle_strategy.hpp describes, with the bounds given there. The watches keep the
// interpreter lock and run the signal check between two looks, like the polling they precede,
// so Ctrl-C ends them as it ends the polling.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/idle_strategy.hpp"
#include "common/result.hpp"
#include "sdk/shm/shared_region.hpp"
#include "sdk/shm/shm_call_error.hpp"
#include "shm/allocator.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_manager.hpp"

namespace zelto::sdk {

// One input tensor, borrowed from the caller for the duration of begin().
struct ShmInput {
    const std::int64_t* dims = nullptr;
    std::size_t ndim = 0;
    std::string_view dtype;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// The result tensor's data, inside the region (engine-owned); valid while the core lives.
struct ShmResultView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// A leased pool slot, released when the lease goes out of scope.
class SlotLease {
  public:
    SlotLease(shm::TieredShmAllocator& allocator, std::uint64_t offset)
        : allocator_(&allocator), offset_(offset) {}
    SlotLease(SlotLease&& other) noexcept
        : allocator_(std::exchange(other.allocator_, nullptr)), offset_(other.offset_) {}
    SlotLease& operator=(SlotLease&&) = delete;
    SlotLease(const SlotLease&) = delete;
    SlotLease& operator=(const SlotLease&) = delete;
    ~SlotLease() {
        if (allocator_ != nullptr) allocator_->release(offset_);  // result ignored on purpose
    }
    std::uint64_t offset() const { return offset_; }

  private:
    shm::TieredShmAllocator* allocator_;
    std::uint64_t offset_;
};

// This process's turn on the region's response ring (sdk/shm/shared_region.hpp), given back when
// the turn goes out of scope.
class ResponseTurn {
  public:
    explicit ResponseTurn(SharedRegion& share) : share_(&share) {}
    ResponseTurn(ResponseTurn&& other) noexcept : share_(std::exchange(other.share_, nullptr)) {}
    ResponseTurn& operator=(ResponseTurn&&) = delete;
    ResponseTurn(const ResponseTurn&) = delete;
    ResponseTurn& operator=(const ResponseTurn&) = delete;
    ~ResponseTurn() {
        if (share_ != nullptr) share_->give_back_response_turn();
    }

  private:
    SharedRegion* share_;
};

class ShmClientCore;

// A request queued on the ring and not yet answered. Holds the request's slot and the turn.
class PendingShmRequest {
  public:
    // The notification wait is at most this long; the polling gives up once more than this many
    // whole seconds have passed (so after 6 seconds).
    static constexpr std::chrono::seconds kNotifyWait{5};
    static constexpr std::chrono::seconds kPollLimit{5};

    std::uint64_t id() const { return id_; }
    std::uint64_t slot_offset() const { return slot_.offset(); }

    // The header's notify_fd as the engine has it now; negative when there is none.
    int notify_fd() const;

    // Before the notification wait: looks at the response ring (without taking anything off it)
    // until an entry is published (true) or the idle::kShmBeforeNotification spin is over
    // (false), with `between_polls` (false = stop with Interrupted) between two looks.
    // Nothing is consumed: the answer stays on the ring until the descriptor is drained, so no
    // count is left behind for a later call.
    Result<bool, ShmCallError> spin_until_published(
        const std::function<bool()>& between_polls) const;

    // Once an entry is published: consumes the engine's notification without sleeping, trying
    // non-blocking reads for up to idle::kNotificationLag. True when it was consumed (the
    // descriptor is drained as wait_notification would have drained it); false when the caller must
    // wait for it with wait_notification, because it did not come in time or the descriptor cannot
    // be read without blocking.
    bool take_notification_now(int fd) const;

    // Waits once, up to 5 s, on `fd` (nothing when it is negative) and drains it; a count left
    // by an earlier answer ends the wait at once, and the polling follows. For a large block it
    // first watches the ring, as spin_until_published does, for as long as the engine's copy may
    // take (idle::copy_watch), and takes the notification along if the answer came meanwhile.
    // Touches only the region and the descriptor, so it may run without the interpreter lock.
    void wait_notification(int fd) const;

    // Polls the response ring until the entry for this id arrives. Entries for other ids are
    // dropped. Between two polls: the time limit, then `between_polls` (false = stop with
    // Interrupted), then the idle::kShmPolling spin and 1 us sleeps after it.
    Result<shm::ShmResponseEntry, ShmCallError> poll_response(
        const std::function<bool()>& between_polls) const;

    // The result data of a success entry, or the engine's error as a Runtime error. Offsets and
    // lengths in the entry and in the region are checked against the mapping first.
    Result<ShmResultView, ShmCallError> answer(const shm::ShmResponseEntry& entry) const;

    // Copies the result into `destination` (result.size bytes of the caller's memory). Like
    // every access to the region, a page the system cannot provide ends it with a Runtime error
    // that says so (shm/region_faults.hpp) instead of a SIGBUS.
    Result<void, ShmCallError> copy_result(const ShmResultView& result,
                                           std::uint8_t* destination) const;

  private:
    friend class ShmClientCore;
    PendingShmRequest(const ShmClientCore& core, std::uint64_t id, std::uint64_t block_bytes,
                      SlotLease slot, ResponseTurn turn);

    shm::ResponseRing response_ring() const;

    // spin_until_published as `phases` say.
    Result<bool, ShmCallError> watch_ring(const IdlePhases& phases,
                                          const std::function<bool()>& between_polls) const;

    const ShmClientCore* core_;
    const shm::ShmManager* region_;
    std::uint64_t id_;
    std::uint64_t block_bytes_;  // the request's tensor block, header included
    ResponseTurn turn_;          // given back after the slot (members go in reverse order)
    SlotLease slot_;
};

class ShmClientCore {
  public:
    // Attaches to `name` through this process's share of the region (sdk/shm/shared_region.hpp) and
    // becomes a reader of its response ring. The error is the text ConnectionError carries.
    static Result<std::unique_ptr<ShmClientCore>, std::string> connect(const std::string& name);

    explicit ShmClientCore(std::shared_ptr<SharedRegion> share);  // a reader already
    ~ShmClientCore();
    ShmClientCore(const ShmClientCore&) = delete;
    ShmClientCore& operator=(const ShmClientCore&) = delete;

    // First step of every call: in a process forked after the client was made, the child's own
    // share of the region, and its turn as the ring's reader (refused while another process
    // reads it: the Runtime error says so).
    Result<void, ShmCallError> adopt_after_fork();

    // The process's turn on the response ring: at once if it is free, or once the call in
    // progress on another object of this region is over (wait_for_turn blocks).
    std::optional<ResponseTurn> try_take_turn();
    ResponseTurn wait_for_turn();

    // Uses up an id, takes a slot, writes the block and queues the request entry.
    Result<PendingShmRequest, ShmCallError> begin(const ShmInput& input, ResponseTurn turn);

    const shm::ShmManager& region() const { return share_->region(); }

  private:
    friend class PendingShmRequest;

    std::shared_ptr<SharedRegion> share_;
    // What this client's waits learnt, and whether the constructing thread could run on one
    // processor only (only the thread inside the call touches it, under the call's exclusive
    // borrow).
    mutable IdleStrategy idle_;
};

}  // namespace zelto::sdk
