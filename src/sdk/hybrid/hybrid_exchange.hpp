// One request/reply exchange of the hybrid protocol on a connected socket.
#pragma once

#include <cstddef>
#include <string>

#include "common/result.hpp"
#include "ipc/hybrid_messages.hpp"
#include "sdk/hybrid/event_loop.hpp"
#include "sdk/hybrid/hybrid_socket.hpp"

namespace zelto::sdk {

struct HybridError {
    enum class Kind {
        Io,      // connect, write or read failed: OS error text, "early eof" or "write zero"
        Remote,  // reply_status != 0: the engine's text, decoded lossily as UTF-8
        Decode,  // reply_status == 0 with a body shorter than 40 bytes
    };
    Kind kind = Kind::Io;
    std::string message;

    // After an I/O failure the stream may have stopped anywhere inside a frame, so the next
    // exchange cannot find a frame boundary on it. Remote and Decode failures consume the whole
    // reply and leave the stream aligned.
    bool stream_broken() const { return kind == Kind::Io; }
};

// Error bodies are kept up to this many bytes; anything beyond is read and discarded so that the
// stream stays aligned, but an engine cannot make the client hold gigabytes of text.
inline constexpr std::size_t kMaxKeptErrorText = 4 * 1024 * 1024;

// Sends the 52-byte request frame, reads one reply frame, decodes it. Memory use is bounded by
// what arrives, never by the announced body_len.
Result<ipc::HybridResponse, HybridError> run_hybrid_exchange(HybridSocket& socket, EventLoop& loop,
                                                             const ipc::HybridRequest& request);

}  // namespace zelto::sdk
