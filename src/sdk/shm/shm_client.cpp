#include "sdk/shm/shm_client.hpp"

#include <cstring>
#include <optional>
#include <vector>

#include "engine_api/tensor_dtype.hpp"
#include "shm/bulk_copy.hpp"
#include "shm/notify_wait.hpp"
#include "shm/tensor_block.hpp"
#include "transport/request_metadata.hpp"

namespace zelto::sdk {
namespace {

ShmCallError runtime_error(std::string message) {
    return {ShmCallError::Kind::Runtime, std::move(message)};
}

}  // namespace

Result<std::unique_ptr<ShmClientCore>, std::string> ShmClientCore::connect(
    const std::string& name) {
    auto share = SharedRegion::attach(name);
    if (!share) return unexpected(std::move(share).error());
    if (!(*share)->add_response_reader()) return unexpected((*share)->reading_elsewhere_text());
    return std::make_unique<ShmClientCore>(std::move(*share));
}

ShmClientCore::ShmClientCore(std::shared_ptr<SharedRegion> share) : share_(std::move(share)) {}

ShmClientCore::~ShmClientCore() {
    share_->remove_response_reader();
}

Result<void, ShmCallError> ShmClientCore::adopt_after_fork() {
    auto own = SharedRegion::for_this_process(share_);
    if (!own) return unexpected(runtime_error(std::move(own).error()));
    if (*own == share_) return {};
    if (!(*own)->add_response_reader())
        return unexpected(runtime_error((*own)->reading_elsewhere_text()));
    share_->remove_response_reader();  // the parent's share: changes only this process's count
    share_ = std::move(*own);
    return {};
}

std::optional<ResponseTurn> ShmClientCore::try_take_turn() {
    if (!share_->try_take_response_turn()) return std::nullopt;
    return ResponseTurn(*share_);
}

ResponseTurn ShmClientCore::wait_for_turn() {
    share_->wait_for_response_turn();
    return ResponseTurn(*share_);
}

Result<PendingShmRequest, ShmCallError> ShmClientCore::begin(const ShmInput& input,
                                                             ResponseTurn turn) {
    // A block has room for 8 dimensions; refuse more before an id or a slot is used (as the
    // hybrid client does).
    if (input.ndim > shm::ShmTensorBlock::kMaxDims) {
        return unexpected(
            ShmCallError{ShmCallError::Kind::InvalidArgument, shm::too_many_dims_text(input.ndim)});
    }
    const std::uint64_t id = share_->next_request_id();  // used up even if the call fails later
    shm::TieredShmAllocator& allocator = share_->allocator();
    const shm::ShmManager& region = share_->region();

    const std::uint64_t size = shm::ShmTensorBlock::kHeaderSize + std::uint64_t{input.size};
    const auto offset = allocator.try_allocate(size);
    if (!offset) return unexpected(runtime_error(shm::pool_exhausted_text(size, allocator)));
    SlotLease slot(allocator, *offset);

    // The dtype is parsed after the slot is taken: a full pool is reported before a bad name.
    auto dtype = engine_api::parse_dtype(input.dtype);
    if (!dtype) {
        return unexpected(
            ShmCallError{ShmCallError::Kind::InvalidArgument, dtype.error().display()});
    }

    shm::ShmRequestEntry entry{};
    transport::RequestMetadata::create(id, 0, 0, 0).encode(entry.metadata);
    entry.shm_offset = slot.offset();
    entry.shm_size = size;

    // The allocator only hands out slots inside the pool, which connect checked against the
    // mapping, so the whole block lies inside the region.
    std::uint8_t* const base = region.base();
    shm::RequestRing ring(base + region.header().request_ring_offset);
    std::optional<shm::QueueError> refused;
    auto fault = region.try_access([&]() noexcept {
        shm::write_tensor_block(base + slot.offset(), input.dims, input.ndim, *dtype, input.data,
                                input.size);
        if (auto pushed = ring.push(entry); !pushed) refused = pushed.error();
    });
    if (fault) return unexpected(runtime_error(std::move(*fault)));
    if (refused) return unexpected(runtime_error(refused->display()));
    return PendingShmRequest(*this, id, size, std::move(slot), std::move(turn));
}

PendingShmRequest::PendingShmRequest(const ShmClientCore& core, std::uint64_t id,
                                     std::uint64_t block_bytes, SlotLease slot, ResponseTurn turn)
    : core_(&core),
      region_(&core.region()),
      id_(id),
      block_bytes_(block_bytes),
      turn_(std::move(turn)),
      slot_(std::move(slot)) {}

int PendingShmRequest::notify_fd() const {
    return region_->notify_fd();
}

shm::ResponseRing PendingShmRequest::response_ring() const {
    const shm::ShmManager& region = *region_;
    return shm::ResponseRing(region.base() + region.header().response_ring_offset);
}

Result<bool, ShmCallError> PendingShmRequest::spin_until_published(
    const std::function<bool()>& between_polls) const {
    return watch_ring(idle::kShmBeforeNotification, between_polls);
}

Result<bool, ShmCallError> PendingShmRequest::watch_ring(
    const IdlePhases& phases, const std::function<bool()>& between_polls) const {
    const shm::ResponseRing ring = response_ring();
    IdleWait wait(phases, &core_->idle_);
    for (;;) {
        bool published = false;
        auto fault =
            region_->try_access([&]() noexcept { published = ring.holds_published_entry(); });
        if (fault) return unexpected(runtime_error(std::move(*fault)));
        if (published) return true;
        if (!wait.spins()) return false;
        if (between_polls && !between_polls()) {
            return unexpected(ShmCallError{ShmCallError::Kind::Interrupted, {}});
        }
        if (!wait.idle()) return false;
    }
}

bool PendingShmRequest::take_notification_now(int fd) const {
    IdleWait wait(idle::kNotificationLag, nullptr);
    for (;;) {
        switch (shm::take_posted_notification(fd)) {
            case shm::NotificationTake::Taken:
                return true;
            case shm::NotificationTake::CannotTell:
                return false;
            case shm::NotificationTake::NothingYet:
                break;
        }
        if (!wait.idle()) return false;
    }
}

void PendingShmRequest::wait_notification(int fd) const {
    // A large block's answer is still being copied: watching a while longer beats a wake-up.
    auto published = watch_ring(IdlePhases{}.yielding_longer(idle::copy_watch(block_bytes_)), {});
    if (published && *published && take_notification_now(fd)) return;
    shm::wait_for_notification(fd, kNotifyWait);
}

Result<shm::ShmResponseEntry, ShmCallError> PendingShmRequest::poll_response(
    const std::function<bool()>& between_polls) const {
    shm::ResponseRing ring = response_ring();
    const auto start = std::chrono::steady_clock::now();
    IdleWait wait(idle::kShmPolling, &core_->idle_);
    for (;;) {
        Result<std::optional<shm::ShmResponseEntry>, shm::QueueError> popped{std::nullopt};
        auto fault = region_->try_access([&]() noexcept { popped = ring.pop(); });
        if (fault) return unexpected(runtime_error(std::move(*fault)));
        if (!popped) return unexpected(runtime_error(popped.error().display()));
        // An entry for another id is dropped: it has been taken off the ring and is gone.
        if (*popped && (*popped)->request_id == id_) return **popped;

        const auto now = std::chrono::steady_clock::now();
        const auto elapsed = now - start;
        if (std::chrono::duration_cast<std::chrono::seconds>(elapsed) > kPollLimit) {
            return unexpected(ShmCallError{ShmCallError::Kind::Timeout, "Request timed out"});
        }
        if (between_polls && !between_polls()) {
            return unexpected(ShmCallError{ShmCallError::Kind::Interrupted, {}});
        }
        wait.idle();  // never false: the polling sleeps once the spin is over
    }
}

Result<ShmResultView, ShmCallError> PendingShmRequest::answer(
    const shm::ShmResponseEntry& entry) const {
    const shm::ShmManager& region = *region_;
    if (entry.status == 0) {
        Result<shm::BlockData, std::string> block = unexpected(std::string());
        auto fault = region.try_access([&]() noexcept {
            block = shm::locate_block_data(region.size(), entry.shm_offset, region.base());
        });
        if (fault) return unexpected(runtime_error(std::move(*fault)));
        if (!block) return unexpected(runtime_error(shm::invalid_response_text(block.error())));
        return ShmResultView{region.base() + block->data_offset,
                             static_cast<std::size_t>(block->data_len)};
    }
    if (entry.error_offset == 0) return unexpected(runtime_error("Unknown error"));
    Result<shm::TextSpan, std::string> span = unexpected(std::string());
    auto fault = region.try_access([&]() noexcept {
        span = shm::locate_error_text(region.base(), region.size(), entry.error_offset);
    });
    if (fault) return unexpected(runtime_error(std::move(*fault)));
    if (!span) return unexpected(runtime_error(shm::invalid_response_text(span.error())));
    // The bytes are copied out first: the page they lie on may be one the system cannot provide.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(span->length));
    fault = region.try_access([&]() noexcept {
        if (!bytes.empty()) std::memcpy(bytes.data(), region.base() + span->offset, bytes.size());
    });
    if (fault) return unexpected(runtime_error(std::move(*fault)));
    return unexpected(runtime_error(shm::error_text_from_bytes(bytes.data(), bytes.size())));
}

Result<void, ShmCallError> PendingShmRequest::copy_result(const ShmResultView& result,
                                                          std::uint8_t* destination) const {
    auto fault = region_->try_access(
        [&]() noexcept { shm::copy_for_other_process(destination, result.data, result.size); });
    if (fault) return unexpected(runtime_error(std::move(*fault)));
    return {};
}

}  // namespace zelto::sdk
