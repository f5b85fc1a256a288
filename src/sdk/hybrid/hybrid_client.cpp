#include "sdk/hybrid/hybrid_client.hpp"

#include "engine_api/tensor_dtype.hpp"
#include "ipc/hybrid_messages.hpp"
#include "shm/bulk_copy.hpp"
#include "shm/region_layout.hpp"
#include "shm/tensor_block.hpp"
#include "transport/request_metadata.hpp"

namespace zelto::sdk {
namespace {

HybridError runtime_error(std::string message) {
    return {HybridError::Kind::Runtime, std::move(message)};
}

// Gives the slot back on every way out of `infer`; the allocator's answer is of no interest.
class SlotLease {
  public:
    SlotLease(shm::TieredShmAllocator& allocator, std::uint64_t offset)
        : allocator_(allocator), offset_(offset) {}
    ~SlotLease() { allocator_.release(offset_); }
    SlotLease(const SlotLease&) = delete;
    SlotLease& operator=(const SlotLease&) = delete;

  private:
    shm::TieredShmAllocator& allocator_;
    std::uint64_t offset_;
};

}  // namespace

HybridClient::HybridClient(std::shared_ptr<SharedRegion> share, std::string socket_path,
                           std::unique_ptr<EventLoop> event_loop)
    : event_loop_(std::move(event_loop)),
      connection_(std::move(socket_path)),
      share_(std::move(share)) {}

Result<std::unique_ptr<HybridClient>, HybridError> HybridClient::create(const std::string& shm_name,
                                                                        std::string socket_path) {
    auto share = SharedRegion::attach(shm_name);
    if (!share) {
        return unexpected(HybridError{HybridError::Kind::Connection, std::move(share).error()});
    }
    auto loop = EventLoop::create();
    if (!loop) {
        return unexpected(HybridError{HybridError::Kind::Runtime, std::move(loop.error().message)});
    }
    return std::unique_ptr<HybridClient>(
        new HybridClient(std::move(*share), std::move(socket_path), std::move(*loop)));
}

Result<void, HybridError> HybridClient::follow_recreated_region() {
    if (connection_.connected() || share_->region().name_refers_to_mapping()) return {};
    // No slot is held between calls, so the old share can simply be replaced.
    auto fresh = SharedRegion::attach(share_->region().name());
    if (!fresh) return unexpected(runtime_error(std::move(fresh).error()));
    share_ = std::move(*fresh);
    return {};
}

Result<void, HybridError> HybridClient::adopt_after_fork() {
    if (event_loop_->owned_by_this_process()) return {};
    auto own = SharedRegion::for_this_process(share_);
    if (!own) return unexpected(runtime_error(std::move(own).error()));
    share_ = std::move(*own);
    auto loop = EventLoop::create();
    if (!loop) return unexpected(runtime_error(std::move(loop.error().message)));
    connection_.forget_inherited_socket();
    event_loop_ = std::move(*loop);
    return {};
}

Result<void, HybridError> HybridClient::infer(std::span<const std::int64_t> shape,
                                              std::string_view dtype_text, const std::uint8_t* data,
                                              std::size_t size, ResultSink& sink) {
    // Before anything else: nothing below may wait on an inherited loop.
    if (auto adopted = adopt_after_fork(); !adopted) return adopted;

    // A block has room for 8 dimensions; refuse more before an identifier or a slot is used.
    if (shape.size() > shm::ShmTensorBlock::kMaxDims) {
        return unexpected(
            HybridError{HybridError::Kind::Value, shm::too_many_dims_text(shape.size())});
    }

    const std::uint64_t request_id = share_->next_request_id();  // used up even if the call fails

    // Before a (re)connect: an engine that restarted has recreated its region under the same
    // name, and its answers name offsets in that new object. Reading them in the old mapping
    // would return wrong bytes without an error, so the client attaches to the new region.
    if (auto followed = follow_recreated_region(); !followed) return followed;

    const std::uint64_t required = shm::ShmTensorBlock::kHeaderSize + std::uint64_t{size};
    shm::TieredShmAllocator& allocator = share_->allocator();
    const auto slot = allocator.try_allocate(required);
    if (!slot) return unexpected(runtime_error(shm::pool_exhausted_text(required, allocator)));
    SlotLease lease(allocator, *slot);

    auto dtype = engine_api::parse_dtype(dtype_text);
    if (!dtype) {
        return unexpected(HybridError{HybridError::Kind::Value, dtype.error().display()});
    }

    const shm::ShmManager& region = share_->region();
    std::uint8_t* const base = region.base();
    const std::uint64_t region_size = region.size();
    // The pool bounds come from the engine's header; a slot is checked against the mapping
    // before anything is written into it.
    if (!shm::span_fits(region_size, *slot, required)) {
        return unexpected(runtime_error("tensor pool slot at offset " + std::to_string(*slot) +
                                        " (" + std::to_string(required) +
                                        " bytes) lies outside the shared region of " +
                                        std::to_string(region_size) + " bytes"));
    }
    // The block is complete before the request frame leaves: the frame is the hand-over.
    auto fault = region.try_access([&]() noexcept {
        shm::write_tensor_block(base + *slot, shape.data(), shape.size(), *dtype, data, size);
    });
    if (fault) return unexpected(runtime_error(std::move(*fault)));

    ipc::HybridRequest request;
    request.metadata = transport::RequestMetadata::create(request_id, 0, 0, 0);
    request.shm_offset = *slot;
    request.shm_size = required;

    auto response = connection_.exchange(request, *event_loop_);
    if (!response) return unexpected(runtime_error(std::move(response.error().message)));

    // The engine names the result block; its offset and data_len are checked against the mapping
    // before a single byte is read.
    Result<shm::BlockData, std::string> located = unexpected(std::string());
    fault = region.try_access([&]() noexcept {
        located = shm::locate_block_data(region_size, response->shm_offset, base);
    });
    if (fault) return unexpected(runtime_error(std::move(*fault)));
    if (!located) return unexpected(runtime_error(shm::invalid_response_text(located.error())));
    // The copy happens before `lease` releases the slot: an engine may answer in the request's
    // own slot.
    const auto result_size = static_cast<std::size_t>(located->data_len);
    std::uint8_t* const destination = sink.reserve(result_size);
    if (destination == nullptr) return unexpected(HybridError{HybridError::Kind::Sink, {}});
    fault = region.try_access([&]() noexcept {
        shm::copy_for_other_process(destination, base + located->data_offset, result_size);
    });
    if (fault) return unexpected(runtime_error(std::move(*fault)));
    return {};
}

}  // namespace zelto::sdk
