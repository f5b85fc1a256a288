// One request/reply exchange of the hybrid protocol on a connected socket.
#pragma once

#include <cstddef>

#include "common/result.hpp"
#include "ipc/hybrid_messages.hpp"
#include "sdk/hybrid/event_loop.hpp"
#include "sdk/hybrid/hybrid_error.hpp"
#include "transport/nonblocking_socket.hpp"

namespace zelto::sdk {

// Error bodies are kept up to this many bytes; anything beyond is read and discarded so that the
// stream stays aligned, but an engine cannot make the client hold gigabytes of text.
inline constexpr std::size_t kMaxKeptErrorText = 4 * 1024 * 1024;

// Sends the 52-byte request frame, reads one reply frame, decodes it. Memory use is bounded by
// what arrives, never by the announced body_len.
Result<ipc::HybridResponse, HybridError> run_hybrid_exchange(transport::NonBlockingSocket& socket,
                                                             EventLoop& loop,
                                                             const ipc::HybridRequest& request);

}  // namespace zelto::sdk
