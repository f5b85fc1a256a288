// The hybrid client's reply reading and decoding, run for real: a NonBlockingSocket connected
// through a Unix listener to a peer that has sent the input as its whole reply and stopped writing.
// run_hybrid_exchange writes its 52-byte request, reads one reply frame and decodes it.
//
// Properties, for any input:
//   - the outcome is exactly what the bytes say: "early eof" for a cut frame, the lossily decoded
//     text (at most kMaxKeptErrorText bytes of it) for a non-zero status, the truncation text for
//     a short success body, otherwise the 40-byte HybridResponse read field by field;
//   - a decoded response re-encodes to the first 40 body bytes;
//   - memory follows the bytes that arrived, not body_len.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "common/little_endian.hpp"
#include "common/unique_fd.hpp"
#include "common/utf8.hpp"
#include "ipc/hybrid_messages.hpp"
#include "sdk/hybrid/event_loop.hpp"
#include "sdk/hybrid/hybrid_exchange.hpp"
#include "support/allocation_watch.hpp"
#include "support/fuzz_check.hpp"
#include "support/peer_bytes.hpp"
#include "transport/nonblocking_socket.hpp"

namespace {

using zelto::load_le;
using zelto::UniqueFd;
using zelto::ipc::HybridResponse;
using zelto::sdk::HybridError;

constexpr std::size_t kHeader = 8;
constexpr std::size_t kSlack = 256;

[[noreturn]] void harness_failure(const char* what) {
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    std::abort();
}

// One listener and one event loop for the whole run: the exchange under test is per input.
struct Harness {
    std::string name;  // abstract socket name: nothing on disk to clean up
    UniqueFd listener;
    std::unique_ptr<zelto::sdk::EventLoop> loop;

    Harness() {
        name = std::string(1, '\0') + "zelto-fuzz-hybrid-" + std::to_string(::getpid());
        auto address = zelto::transport::unix_address(name);
        if (!address) harness_failure("listener address");
        listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener.valid() ||
            ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address->address),
                   address->length) != 0 ||
            ::listen(listener.get(), 4) != 0) {
            harness_failure("listener");
        }
        auto created = zelto::sdk::EventLoop::create(1);
        if (!created) harness_failure("event loop");
        loop = std::move(*created);
    }
};

Harness& harness() {
    static Harness instance;
    return instance;
}

void check_outcome(std::span<const std::uint8_t> reply,
                   const zelto::Result<HybridResponse, HybridError>& outcome) {
    if (reply.size() < kHeader) {
        FUZZ_CHECK(!outcome && outcome.error().kind == HybridError::Kind::Io &&
                       outcome.error().message == "early eof",
                   "cut header");
        return;
    }
    const auto status = load_le<std::uint32_t>(reply.data());
    const auto body_len = load_le<std::uint32_t>(reply.data() + 4);
    const auto arrived = reply.subspan(kHeader);
    if (body_len > arrived.size()) {
        FUZZ_CHECK(!outcome && outcome.error().kind == HybridError::Kind::Io &&
                       outcome.error().message == "early eof",
                   "cut body");
        return;
    }
    const auto body = arrived.first(body_len);
    if (status != 0) {
        const auto kept = body.first(std::min(body.size(), zelto::sdk::kMaxKeptErrorText));
        FUZZ_CHECK(!outcome && outcome.error().kind == HybridError::Kind::Remote &&
                       outcome.error().message == zelto::utf8_lossy(kept.data(), kept.size()),
                   "error reply text");
        return;
    }
    if (body.size() < HybridResponse::kEncodedSize) {
        FUZZ_CHECK(!outcome && outcome.error().kind == HybridError::Kind::Decode &&
                       outcome.error().message == "io error: unexpected end of file",
                   "short success body");
        return;
    }
    FUZZ_CHECK(outcome.has_value(), "success reply refused: " + outcome.error().message);
    const HybridResponse& response = outcome.value();
    FUZZ_CHECK(response.metadata.request_id == load_le<std::uint64_t>(body.data()) &&
                   response.metadata.status == body[8] &&
                   response.metadata.latency_ns == load_le<std::uint64_t>(body.data() + 16) &&
                   response.shm_offset == load_le<std::uint64_t>(body.data() + 24) &&
                   response.shm_size == load_le<std::uint64_t>(body.data() + 32),
               "decoded fields differ from the body bytes");
    const auto encoded = response.encode();
    FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), body.begin()),
               "re-encoded response differs from the body");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);

    // The record decoder alone: every bit pattern is valid, only length matters.
    auto direct = HybridResponse::decode(data, size);
    FUZZ_CHECK(direct.has_value() == (size >= HybridResponse::kEncodedSize), "decode by length");

    Harness& h = harness();
    auto socket = zelto::transport::NonBlockingSocket::connect(h.name, *h.loop);
    if (!socket) harness_failure("connect");
    UniqueFd peer(::accept4(h.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!peer.valid()) harness_failure("accept");
    const std::size_t delivered = zelto::fuzz::send_then_stop_writing(peer.get(), input);

    zelto::ipc::HybridRequest request;
    request.shm_offset = 4096;
    request.shm_size = 88;
    zelto::fuzz::AllocationWatch watch;
    auto outcome = zelto::sdk::run_hybrid_exchange(*socket, *h.loop, request);
    const std::size_t largest = watch.largest();

    check_outcome(input.first(delivered), outcome);
    FUZZ_CHECK(largest <= 8 * delivered + kSlack, "allocated " + std::to_string(largest) +
                                                      " bytes for a " + std::to_string(delivered) +
                                                      "-byte reply");
    return 0;
}
