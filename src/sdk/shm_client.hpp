// The Python-free core of ZeltoShmClient: one attached region, a private slot allocator over its
// pool and the request-id counter. A call is split so the Python layer controls the interpreter
// lock and signal checks:
//
//   auto pending = core.begin(input);        // id, slot, dtype, block, request entry (lock held)
//   pending->wait_notification();             // kernel wait on notify_fd (lock released)
//   auto entry = pending->poll_response(hook);  // ring polling; hook() runs between polls
//   auto result = pending->answer(*entry);    // result view into the region, or the engine error
//   ... copy result, then let `pending` go: its destructor releases the request's slot.
//
// The slot is owned by the pending request (a SlotLease), so every way out of a call after the
// slot was taken - errors, time-out, an exception raised by a signal handler - releases it.
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

#include "common/result.hpp"
#include "shm/allocator.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_manager.hpp"

namespace zelto::sdk {

struct ShmCallError {
    enum class Kind {
        InvalidArgument,  // -> ValueError
        Runtime,          // -> RuntimeError
        Timeout,          // -> TimeoutError
        Interrupted,      // the between-polls hook failed; its (Python) exception is pending
    };
    Kind kind = Kind::Runtime;
    std::string message;
};

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

class ShmClientCore;

// A request queued on the ring and not yet answered. Holds the request's slot.
class PendingShmRequest {
  public:
    // The notification wait is at most this long; the polling gives up once more than this many
    // whole seconds have passed (so after 6 seconds).
    static constexpr std::chrono::seconds kNotifyWait{5};
    static constexpr std::chrono::seconds kPollLimit{5};

    std::uint64_t id() const { return id_; }
    std::uint64_t slot_offset() const { return slot_.offset(); }

    // Waits up to 5 s on the header's notify_fd (nothing when it is negative) and drains it.
    // Touches only the region and the descriptor, so it may run without the interpreter lock.
    void wait_notification() const;

    // Polls the response ring until the entry for this id arrives. Entries for other ids are
    // dropped. Between two polls: the time limit, then `between_polls` (false = stop with
    // Interrupted), then a 1 us sleep with this thread's timer slack lowered.
    Result<shm::ShmResponseEntry, ShmCallError> poll_response(
        const std::function<bool()>& between_polls) const;

    // The result data of a success entry, or the engine's error as a Runtime error. Offsets and
    // lengths in the entry and in the region are checked against the mapping first.
    Result<ShmResultView, ShmCallError> answer(const shm::ShmResponseEntry& entry) const;

  private:
    friend class ShmClientCore;
    PendingShmRequest(const ShmClientCore& core, std::uint64_t id, SlotLease slot)
        : core_(&core), id_(id), slot_(std::move(slot)) {}

    const ShmClientCore* core_;
    std::uint64_t id_;
    SlotLease slot_;
};

class ShmClientCore {
  public:
    static constexpr std::chrono::seconds kLease{30};

    // Attaches to `name` and carves the pool with the default classes and a 30 s lease.
    static Result<std::unique_ptr<ShmClientCore>, shm::ShmError> connect(const std::string& name,
                                                                         shm::ClockFn clock = {});

    ShmClientCore(std::shared_ptr<shm::ShmManager> region, shm::ClockFn clock = {});

    // Uses up an id, takes a slot, writes the block and queues the request entry.
    Result<PendingShmRequest, ShmCallError> begin(const ShmInput& input);

    std::uint64_t next_request_id() const { return next_request_id_; }
    shm::TieredShmAllocator& allocator() { return allocator_; }
    const shm::ShmManager& region() const { return *region_; }

  private:
    friend class PendingShmRequest;

    std::shared_ptr<shm::ShmManager> region_;
    shm::TieredShmAllocator allocator_;
    std::uint64_t next_request_id_ = 1;
};

// "shape has N dimensions; at most 8 fit a shared-memory tensor block".
std::string too_many_dims_text(std::size_t ndim);

}  // namespace zelto::sdk
