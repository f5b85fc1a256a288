// Op 4, the hybrid protocol, against the engine's own region.
//
// By default the engine echoes: it reads the request's tensor block from the region, copies it
// (header and data) into an engine-owned result block and answers with a HybridResponse naming
// that block. The copy is the one the clients use for the region (copy_for_other_process: large
// blocks stream past the cache), finished before the reply is written. The keys below are read
// once, at the first request. Tests pick other answers with these keys:
//
//   --hybrid-behaviour NAME     the answer to every request (default "echo")
//   --hybrid-script A,B,...     the answer to the 1st, 2nd, ... request this engine receives
//                               (over all connections); later requests fall back to
//                               --hybrid-behaviour
//   --hybrid-error-text TEXT    the text of "error" (default "mock engine: hybrid failure")
//   --hybrid-short-len N        the body length of "short", 0 to 39 (default 0)
//   --hybrid-cut-at N           the frame bytes "cut" writes before closing, at least 1
//                               (default 12)
//   --hybrid-record FILE        appends one line per request (format below), flushed before the
//                               reply is written, so a client that has its reply can read it
//
// Behaviours:
//   echo          result block = copy of the request block, in the engine's result area
//   in-place      reply names the request's own block (nothing copied)
//   empty-result  result block with data_len 0
//   long          echo with 8 extra bytes after the 40-byte HybridResponse (body_len 48)
//   error         status 7, body = the error text
//   error-bytes   status 1, body FF FE (not UTF-8)
//   error-empty   status 1, empty body
//   short         status 0, body of --hybrid-short-len zero bytes (shorter than a response)
//   cut           a full echo reply of which only the first --hybrid-cut-at bytes are written,
//                 then the connection is closed
//   echo-close    echo, then the connection is closed
//   bad-offset    reply names a result block at the region's size (wholly outside)
//   bad-len       result block whose data_len runs past the end of the region
//
// Record line (hex in lower case, byte order as in memory):
//   request_id=I shm_offset=O shm_size=S payload=<40 bytes> block=<80-byte block header>
//   data=<first min(data_len, 256) data bytes>
// where block and data read "outside" when they do not lie inside the region.
#include "hybrid_handler.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <sstream>
#include <vector>

#include "common/little_endian.hpp"
#include "ipc/hybrid_messages.hpp"
#include "shm/bulk_copy.hpp"
#include "shm/region_faults.hpp"
#include "shm/region_layout.hpp"
#include "shm/tensor_block.hpp"

namespace zelto::engine {
namespace {

constexpr std::size_t kBlockHeader = shm::ShmTensorBlock::kHeaderSize;
constexpr std::size_t kRecordedDataBytes = 256;

// The options this part reads; the comment above tells what they do in full.
constexpr OptionSpec kHybridOptions[] = {
    {"hybrid-behaviour", OptionValue::Text, "NAME",
     "the answer to every op 4 request (default echo): echo, in-place, empty-result, long, "
     "error, error-bytes, error-empty, short, cut, echo-close, bad-offset, bad-len"},
    {"hybrid-script", OptionValue::Text, "A,B,...",
     "the answers to the 1st, 2nd, ... op 4 request; then --hybrid-behaviour"},
    {"hybrid-error-text", OptionValue::Text, "TEXT",
     "the text of \"error\" (default \"mock engine: hybrid failure\")"},
    {"hybrid-short-len", OptionValue::Number, "N", "the body length of \"short\", 0 to 39"},
    {"hybrid-cut-at", OptionValue::Number, "N", "the frame bytes \"cut\" writes (default 12)"},
    {"hybrid-record", OptionValue::Text, "FILE", "append one line per op 4 request"},
};

std::string hex(const std::uint8_t* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

// Requests arrive on several connection threads; the script position and the record file are
// shared by all of them.
std::atomic<std::uint64_t> g_requests_seen{0};
std::mutex g_record_mutex;

// The hybrid keys, read once: parsing them again for every request (map look-ups, a string
// stream over the script) would put work of the mock's own into every exchange it serves.
struct HybridKnobs {
    std::string fallback;                    // --hybrid-behaviour
    std::vector<std::string> script;         // --hybrid-script, split at commas
    std::string error_text;                  // --hybrid-error-text
    std::uint64_t short_len = 0;             // --hybrid-short-len
    std::size_t cut_at = 12;                 // --hybrid-cut-at
    std::optional<std::string> record_path;  // --hybrid-record

    explicit HybridKnobs(const EngineOptions& options)
        : fallback(options.text("hybrid-behaviour", "echo")),
          error_text(options.text("hybrid-error-text", "mock engine: hybrid failure")),
          short_len(options.number("hybrid-short-len", 0)),
          cut_at(static_cast<std::size_t>(options.number("hybrid-cut-at", 12))) {
        std::stringstream listed(options.text("hybrid-script"));
        for (std::string name; std::getline(listed, name, ',');) script.push_back(name);
        if (options.has("hybrid-record")) record_path = options.text("hybrid-record");
    }

    // An empty script entry means the fallback, like a request past the end of the script.
    const std::string& behaviour_for(std::uint64_t index) const {
        if (index < script.size() && !script[index].empty()) return script[index];
        return fallback;
    }
};

// The engine parses its command line once and hands the same options to every request.
const HybridKnobs& knobs_for(const EngineOptions& options) {
    static const HybridKnobs knobs(options);
    return knobs;
}

void record(const HybridKnobs& knobs, const EngineRegion& region, const ipc::HybridRequest& request,
            const std::uint8_t* payload) {
    if (!knobs.record_path) return;
    std::string line = "request_id=" + std::to_string(request.metadata.request_id) +
                       " shm_offset=" + std::to_string(request.shm_offset) +
                       " shm_size=" + std::to_string(request.shm_size) +
                       " payload=" + hex(payload, ipc::HybridRequest::kEncodedSize);
    if (shm::span_fits(region.size(), request.shm_offset, kBlockHeader)) {
        const std::uint8_t* block = region.base() + request.shm_offset;
        line += " block=" + hex(block, kBlockHeader);
        const auto data_len = load_le<std::uint64_t>(block + shm::ShmTensorBlock::kDataLenOffset);
        const std::uint64_t shown = data_len < kRecordedDataBytes ? data_len : kRecordedDataBytes;
        if (shm::span_fits(region.size(), request.shm_offset + kBlockHeader, shown)) {
            line += " data=" + hex(block + kBlockHeader, static_cast<std::size_t>(shown));
        } else {
            line += " data=outside";
        }
    } else {
        line += " block=outside data=outside";
    }
    line += "\n";
    std::lock_guard<std::mutex> lock(g_record_mutex);
    if (std::FILE* file = std::fopen(knobs.record_path->c_str(), "a")) {
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }
}

HybridReply failure(std::uint32_t status, std::string text) {
    HybridReply reply;
    reply.status = status;
    reply.body = std::move(text);
    return reply;
}

HybridReply success(const ipc::HybridRequest& request, std::uint64_t result_offset,
                    std::uint64_t result_size, std::chrono::steady_clock::time_point started) {
    ipc::HybridResponse response;
    response.metadata.request_id = request.metadata.request_id;
    response.metadata.latency_ns =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::steady_clock::now() - started)
                                       .count());
    response.shm_offset = result_offset;
    response.shm_size = result_size;
    const auto bytes = response.encode();
    HybridReply reply;
    reply.body.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return reply;
}

// Copies the request block (both its header and its data) into its engine-owned result block and
// sets `result_offset`/`result_size`; returns an error reply when it cannot.
std::optional<HybridReply> echo_block(EngineRegion& region, const ipc::HybridRequest& request,
                                      std::uint64_t& result_offset, std::uint64_t& result_size) {
    if (!shm::span_fits(region.size(), request.shm_offset, kBlockHeader)) {
        return failure(1, "request block at offset " + std::to_string(request.shm_offset) +
                              " lies outside the region");
    }
    const std::uint8_t* block = region.base() + request.shm_offset;
    const auto data_len = load_le<std::uint64_t>(block + shm::ShmTensorBlock::kDataLenOffset);
    if (!shm::span_fits(region.size(), request.shm_offset + kBlockHeader, data_len)) {
        return failure(1, "request block data (" + std::to_string(data_len) +
                              " bytes) runs past the end of the region");
    }
    result_size = kBlockHeader + data_len;
    result_offset = region.result_block(request.shm_offset, result_size);
    if (result_offset == 0) {
        return failure(1, "result block of " + std::to_string(result_size) +
                              " bytes does not fit the result area");
    }
    std::uint8_t* const target = region.base() + result_offset;
    const auto size = static_cast<std::size_t>(result_size);
    // A client may name a block inside the result area, so the two can overlap; only disjoint
    // blocks take the copy the clients use for the region (streaming past the cache when large).
    const bool disjoint = result_offset >= request.shm_offset + result_size ||
                          request.shm_offset >= result_offset + result_size;
    // Where the shared-memory file system has no room, a page of the result may not exist.
    auto fault = shm::catch_region_faults(region.base(), region.size(), [&]() noexcept {
        if (disjoint) {
            shm::copy_for_other_process(target, block, size);
        } else {
            std::memmove(target, block, size);
        }
    });
    if (fault) {
        return failure(1, "mock engine: the region could not provide the page at offset " +
                              std::to_string(fault->offset) + " for the result (SIGBUS)");
    }
    return std::nullopt;
}

}  // namespace

std::span<const OptionSpec> hybrid_options() {
    return kHybridOptions;
}

HybridReply handle_hybrid_request(const EngineOptions& options, EngineRegion* region,
                                  const std::uint8_t* payload, std::size_t payload_len) {
    const auto started = std::chrono::steady_clock::now();
    const std::uint64_t index = g_requests_seen.fetch_add(1);
    if (region == nullptr) return failure(1, "hybrid requests need a shared-memory region (--shm)");
    if (payload_len != ipc::HybridRequest::kEncodedSize) {
        return failure(
            1, "hybrid request payload must be 40 bytes, got " + std::to_string(payload_len));
    }
    ipc::HybridRequest request;
    request.metadata.request_id = load_le<std::uint64_t>(payload);
    request.shm_offset = load_le<std::uint64_t>(payload + 24);
    request.shm_size = load_le<std::uint64_t>(payload + 32);
    const HybridKnobs& knobs = knobs_for(options);
    record(knobs, *region, request, payload);

    const std::string& behaviour = knobs.behaviour_for(index);
    if (behaviour == "error") return failure(7, knobs.error_text);
    if (behaviour == "error-bytes") return failure(1, "\xFF\xFE");
    if (behaviour == "error-empty") return failure(1, "");
    if (behaviour == "short") {
        HybridReply reply;
        const std::uint64_t length = knobs.short_len;
        reply.body.assign(static_cast<std::size_t>(length < 40 ? length : 39), '\0');
        return reply;
    }
    if (behaviour == "in-place")
        return success(request, request.shm_offset, request.shm_size, started);
    if (behaviour == "bad-offset") return success(request, region->size(), kBlockHeader, started);

    static const char* const kEchoing[] = {"echo", "empty-result", "long",
                                           "cut",  "echo-close",   "bad-len"};
    bool echoing = false;
    for (const char* name : kEchoing) echoing = echoing || behaviour == name;
    if (!echoing) return failure(1, "unknown hybrid behaviour '" + behaviour + "'");

    std::uint64_t result_offset = 0;
    std::uint64_t result_size = 0;
    if (auto refused = echo_block(*region, request, result_offset, result_size)) return *refused;
    std::uint8_t* result = region->base() + result_offset;
    if (behaviour == "empty-result") {
        store_le<std::uint64_t>(result + shm::ShmTensorBlock::kDataLenOffset, 0);
        result_size = kBlockHeader;
    } else if (behaviour == "bad-len") {
        // One byte more than the region has left after the block header.
        store_le<std::uint64_t>(result + shm::ShmTensorBlock::kDataLenOffset,
                                region->size() - result_offset - kBlockHeader + 1);
    }
    HybridReply reply = success(request, result_offset, result_size, started);
    if (behaviour == "long") reply.body.append(8, '\x5a');
    if (behaviour == "echo-close") reply.close_after = true;
    if (behaviour == "cut") {
        reply.close_after = true;
        reply.write_limit = knobs.cut_at;
    }
    return reply;
}

}  // namespace zelto::engine
