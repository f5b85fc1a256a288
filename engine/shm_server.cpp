// The engine side of the shared-memory protocol: pops request entries from the request ring,
// answers each one on the response ring and then writes 1 to the notify descriptor, if any.
//
// --shm-behaviour selects the answer (default echo):
//   echo              status 0; the result block is a copy of the request block (header + data)
//                     written into the engine's result area (a page of it that the system
//                     cannot provide gives status 1 with a text that says so)
//   in-place          status 0 naming the request's own block (nothing copied)
//   error             status 1 with the error text --shm-error-text (default "mock engine error")
//   unknown-error     status 1, error_offset 0
//   invalid-utf8      status 1 with the error text bytes "bad \xFF byte"
//   foreign-first     first an echo answer for request id + 1000, then the real echo answer
//   silent            consumes and records requests, never answers
//   stall             never consumes the request ring (it fills up)
//   bad-offset        status 0 with shm_offset 40 bytes before the end of the region
//   bad-data-len      status 0 with a result block whose data_len is 2^62
//   bad-error-offset  status 1 with error_offset 8 bytes past the end of the region
//   bad-error-len     status 1 with an error text whose length field is 2^62
//   bad-ring          writes 5000 into the response ring's commit_index instead of answering
//
// --shm-gate FILE   answer a request only once FILE exists (requests are consumed and recorded
//                   at once), so a test can hold a call in its waiting phase for as long as it
//                   needs.
// --record FILE     one line per consumed request entry, flushed at once:
//                   "id=<n> offset=<n> size=<n> meta=<hex 24> block=<hex 80> data=<hex>"
//                   (data: at most the first 64 data bytes; block/data are "-" when the entry
//                   names bytes outside the region).
//
// Idle, the server spins for a while after a request (longer after a long request) and then
// sleeps with growing pauses up to 1 ms, so an idle engine costs next to nothing
// (idle::engine_idle_after in common/idle_strategy.hpp). Results of 8 MiB and more are written with
// streaming stores (shm/bulk_copy.hpp).
#include "shm_server.hpp"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "common/idle_strategy.hpp"
#include "common/little_endian.hpp"
#include "shm/bulk_copy.hpp"
#include "shm/region_faults.hpp"
#include "shm/region_layout.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_manager.hpp"
#include "shm/tensor_block.hpp"

namespace zelto::engine {
namespace {

using shm::ShmRequestEntry;
using shm::ShmResponseEntry;

constexpr std::uint64_t kRequestRingOffset = 4096;
constexpr std::uint64_t kResponseRingOffset = kRequestRingOffset + shm::RequestRing::kSpan;
constexpr std::uint64_t kForeignIdDistance = 1000;

// The options this part reads; the comment above tells what they do in full.
constexpr OptionSpec kShmServerOptions[] = {
    {"shm-behaviour", OptionValue::Text, "NAME",
     "the answer to every request ring entry (default echo): echo, error, unknown-error, "
     "invalid-utf8, foreign-first, silent, stall, bad-offset, bad-data-len, "
     "bad-error-offset, bad-error-len, bad-ring"},
    {"shm-error-text", OptionValue::Text, "TEXT",
     "the error text of --shm-behaviour error (default \"mock engine error\")"},
    {"shm-gate", OptionValue::Text, "FILE", "answer a request only once FILE exists"},
    {"record", OptionValue::Text, "FILE",
     "also append one line per consumed request entry (\"id=<n> offset=<n> ...\")"},
};

void pause_ns(long nanoseconds) {
    const timespec pause{0, nanoseconds};
    ::nanosleep(&pause, nullptr);
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

class Server {
  public:
    Server(const EngineOptions& options, EngineRegion& region, const std::atomic<bool>& stop)
        : options_(options),
          region_(region),
          stop_(stop),
          behaviour_(options.text("shm-behaviour", "echo")),
          gate_(options.text("shm-gate")),
          requests_(region.base() + kRequestRingOffset),
          responses_(region.base() + kResponseRingOffset) {
        if (options.has("record")) {
            record_.reset(std::fopen(options.text("record").c_str(), "a"));
        }
    }

    void run() {
        // Right after a request the next one is usually close (a client calling in a loop), so
        // the server spins before it sleeps (idle::engine_idle_after); what it learns about a
        // crowded processor carries over from one idle time to the next.
        std::chrono::nanoseconds last_busy{};
        while (!stop_.load()) {
            if (behaviour_ == "stall") {
                pause_ns(1000000);
                continue;
            }
            const auto request = next_request(last_busy);
            if (!request) return;
            const auto picked_up = std::chrono::steady_clock::now();
            record(*request);
            if (behaviour_ != "silent") {
                if (!wait_for_gate()) return;
                answer(*request);
            }
            last_busy = std::chrono::steady_clock::now() - picked_up;
        }
    }

  private:
    // The next request entry, waiting for it as the engine's idle phases say; none once the
    // server is told to stop.
    std::optional<ShmRequestEntry> next_request(std::chrono::nanoseconds last_busy) {
        IdleWait wait(idle::engine_idle_after(last_busy), &idle_);
        while (!stop_.load()) {
            auto popped = requests_.pop();
            if (popped && *popped) return **popped;
            wait.idle();
        }
        return std::nullopt;
    }

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    std::uint64_t request_id(const ShmRequestEntry& request) const {
        return load_le<std::uint64_t>(request.metadata);
    }

    // The request block, if the entry names one that lies inside the region.
    bool block_inside(const ShmRequestEntry& request, std::uint64_t& data_len) const {
        if (!shm::span_fits(region_.size(), request.shm_offset, shm::ShmTensorBlock::kHeaderSize))
            return false;
        data_len = load_le<std::uint64_t>(region_.base() + request.shm_offset +
                                          shm::ShmTensorBlock::kDataLenOffset);
        return shm::span_fits(region_.size(), request.shm_offset + shm::ShmTensorBlock::kHeaderSize,
                              data_len);
    }

    void record(const ShmRequestEntry& request) {
        if (options_.verbose()) {
            std::fprintf(stderr, "shm request id=%llu offset=%llu size=%llu\n",
                         static_cast<unsigned long long>(request_id(request)),
                         static_cast<unsigned long long>(request.shm_offset),
                         static_cast<unsigned long long>(request.shm_size));
        }
        if (!record_) return;
        std::string line = "id=" + std::to_string(request_id(request)) +
                           " offset=" + std::to_string(request.shm_offset) +
                           " size=" + std::to_string(request.shm_size) +
                           " meta=" + hex(request.metadata, sizeof request.metadata);
        std::uint64_t data_len = 0;
        if (block_inside(request, data_len)) {
            const std::uint8_t* block = region_.base() + request.shm_offset;
            line += " block=" + hex(block, shm::ShmTensorBlock::kHeaderSize);
            line += " data=" + hex(block + shm::ShmTensorBlock::kHeaderSize,
                                   static_cast<std::size_t>(data_len < 64 ? data_len : 64));
        } else {
            line += " block=- data=-";
        }
        line += '\n';
        std::fputs(line.c_str(), record_.get());
        std::fflush(record_.get());
    }

    bool wait_for_gate() const {
        if (gate_.empty()) return true;
        while (::access(gate_.c_str(), F_OK) != 0) {
            if (stop_.load()) return false;
            pause_ns(1000000);
        }
        return true;
    }

    void answer(const ShmRequestEntry& request) {
        const std::uint64_t id = request_id(request);
        if (behaviour_ == "foreign-first") post(echo(id + kForeignIdDistance, request));
        if (behaviour_ == "bad-ring") {
            std::atomic_ref<std::uint64_t>(
                *reinterpret_cast<std::uint64_t*>(region_.base() + kResponseRingOffset +
                                                  sizeof(ShmResponseEntry)))
                .store(5000, std::memory_order_release);
            notify();
            return;
        }
        post(response_for(id, request));
    }

    ShmResponseEntry response_for(std::uint64_t id, const ShmRequestEntry& request) {
        if (behaviour_ == "error") {
            return failure(id, request, options_.text("shm-error-text", "mock engine error"));
        }
        if (behaviour_ == "unknown-error") return failure_at(id, 0);
        if (behaviour_ == "invalid-utf8") {
            return failure(id, request, std::string("bad \xFF byte"));
        }
        if (behaviour_ == "bad-error-offset") return failure_at(id, region_.size() + 8);
        if (behaviour_ == "bad-error-len") {
            ShmResponseEntry response = failure(id, request, "x");
            store_le<std::uint64_t>(region_.base() + response.error_offset, 1ull << 62);
            return response;
        }
        if (behaviour_ == "bad-offset") {
            ShmResponseEntry response = success(id, region_.size() - 40, 0);
            return response;
        }
        if (behaviour_ == "in-place") {
            std::uint64_t data_len = 0;
            if (block_inside(request, data_len)) return success(id, request.shm_offset, data_len);
        }
        ShmResponseEntry response = echo(id, request);
        if (behaviour_ == "bad-data-len" && response.status == 0) {
            store_le<std::uint64_t>(
                region_.base() + response.shm_offset + shm::ShmTensorBlock::kDataLenOffset,
                1ull << 62);
        }
        return response;
    }

    static ShmResponseEntry success(std::uint64_t id, std::uint64_t offset,
                                    std::uint64_t data_len) {
        ShmResponseEntry response{};
        response.request_id = id;
        response.shm_offset = offset;
        response.data_len = data_len;
        return response;
    }

    static ShmResponseEntry failure_at(std::uint64_t id, std::uint64_t error_offset) {
        ShmResponseEntry response{};
        response.request_id = id;
        response.status = 1;
        response.error_offset = error_offset;
        return response;
    }

    ShmResponseEntry failure(std::uint64_t id, const ShmRequestEntry& request,
                             const std::string& text) {
        const std::uint64_t offset = region_.result_block(request.shm_offset, 8 + text.size());
        if (offset == 0) return failure_at(id, 0);
        auto fault = shm::catch_region_faults(region_.base(), region_.size(), [&]() noexcept {
            store_le<std::uint64_t>(region_.base() + offset, text.size());
            std::memcpy(region_.base() + offset + 8, text.data(), text.size());
        });
        return failure_at(id, fault ? 0 : offset);
    }

    ShmResponseEntry echo(std::uint64_t id, const ShmRequestEntry& request) {
        std::uint64_t data_len = 0;
        if (!block_inside(request, data_len))
            return failure(id, request, "request block outside the region");
        const std::uint64_t block_size = shm::ShmTensorBlock::kHeaderSize + data_len;
        const std::uint64_t offset = region_.result_block(request.shm_offset, block_size);
        if (offset == 0) {
            return failure(id, request, "result does not fit the engine's result area");
        }
        // Where the shared-memory file system has no room, a page of the result may not exist.
        auto fault = shm::catch_region_faults(region_.base(), region_.size(), [&]() noexcept {
            copy_block(region_.base() + offset, region_.base() + request.shm_offset, block_size);
        });
        if (fault) {
            return failure(id, request,
                           "mock engine: the region could not provide the page at offset " +
                               std::to_string(fault->offset) + " for the result (SIGBUS)");
        }
        return success(id, offset, data_len);
    }

    // The client reads the result next, from its own processor: large blocks go with streaming
    // stores. A hostile entry can name a block that reaches into its own mirror; such an
    // overlapping pair is copied with memmove.
    static void copy_block(std::uint8_t* destination, const std::uint8_t* source,
                           std::uint64_t size) {
        const auto length = static_cast<std::size_t>(size);
        if (destination < source + length && source < destination + length) {
            std::memmove(destination, source, length);
        } else {
            shm::copy_for_other_process(destination, source, length);
        }
    }

    void post(const ShmResponseEntry& response) {
        IdleWait wait(idle::kEngineIdle, &idle_);
        for (;;) {
            auto pushed = responses_.push(response);
            if (pushed) break;
            if (pushed.error().kind != shm::QueueError::Kind::Full || stop_.load()) return;
            wait.idle();  // a client that does not consume: wait for room
        }
        notify();
    }

    void notify() const {
        const int fd = region_.notify_fd();
        if (fd < 0) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
    }

    const EngineOptions& options_;
    EngineRegion& region_;
    const std::atomic<bool>& stop_;
    std::string behaviour_;
    std::string gate_;
    shm::RequestRing requests_;
    shm::ResponseRing responses_;
    std::unique_ptr<std::FILE, FileCloser> record_;
    // What the server's waits learnt: whether its processor was crowded lately.
    IdleStrategy idle_;
};

}  // namespace

std::span<const OptionSpec> shm_server_options() {
    return kShmServerOptions;
}

void run_shm_server(const EngineOptions& options, EngineRegion& region,
                    const std::atomic<bool>& stop) {
    Server(options, region, stop).run();
}

}  // namespace zelto::engine
