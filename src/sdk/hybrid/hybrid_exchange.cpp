#include "sdk/hybrid/hybrid_exchange.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "common/little_endian.hpp"
#include "common/utf8.hpp"

namespace zelto::sdk {
namespace {

HybridError io_failure(IoError error) {
    return {HybridError::Kind::Io, std::move(error.message)};
}

// Reads `body_len` bytes from the socket; the first `keep_limit` of them are appended to `kept`,
// the rest are read into scratch space and dropped.
Result<void, IoError> read_body(transport::NonBlockingSocket& socket, EventLoop& loop,
                                std::uint64_t body_len, std::size_t keep_limit, std::string& kept) {
    std::array<std::uint8_t, 16 * 1024> scratch;
    std::uint64_t remaining = body_len;
    while (remaining > 0) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, scratch.size()));
        auto received = socket.receive_some(scratch.data(), want, loop);
        if (!received) return unexpected(std::move(received.error()));
        const std::size_t room = keep_limit - std::min(keep_limit, kept.size());
        kept.append(reinterpret_cast<const char*>(scratch.data()), std::min(room, *received));
        remaining -= *received;
    }
    return {};
}

}  // namespace

Result<ipc::HybridResponse, HybridError> run_hybrid_exchange(transport::NonBlockingSocket& socket,
                                                             EventLoop& loop,
                                                             const ipc::HybridRequest& request) {
    // Header and payload go out in one send: the byte sequence is what the protocol fixes, and
    // a single 52-byte send cannot be interleaved with anything on this socket.
    const auto frame = ipc::encode_request_frame(request);
    if (auto sent = socket.send_all(frame.data(), frame.size(), loop); !sent) {
        return unexpected(io_failure(std::move(sent.error())));
    }

    // The engine copies the tensor before it answers; a large one's answer is waited for longer
    // before the call parks.
    const IdlePhases wait = idle::kHybridReply.yielding_longer(idle::copy_watch(request.shm_size));
    std::array<std::uint8_t, transport::kReplyHeaderSize> header;
    if (auto got = socket.receive_exact(header.data(), header.size(), loop, wait); !got) {
        return unexpected(io_failure(std::move(got.error())));
    }
    const auto status = load_le<std::uint32_t>(header.data());
    const auto body_len = load_le<std::uint32_t>(header.data() + 4);

    std::string body;
    const std::size_t keep = status == 0 ? ipc::HybridResponse::kEncodedSize : kMaxKeptErrorText;
    if (auto got = read_body(socket, loop, body_len, keep, body); !got) {
        return unexpected(io_failure(std::move(got.error())));
    }
    if (status != 0) return unexpected(HybridError{HybridError::Kind::Remote, utf8_lossy(body)});

    auto response = ipc::HybridResponse::decode(reinterpret_cast<const std::uint8_t*>(body.data()),
                                                body.size());
    if (!response) {
        return unexpected(
            HybridError{HybridError::Kind::Decode, std::move(response.error().message)});
    }
    return std::move(*response);
}

}  // namespace zelto::sdk
