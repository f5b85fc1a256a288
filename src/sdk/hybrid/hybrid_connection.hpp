// The hybrid client's lazily opened socket: empty until the first exchange connects, then kept
// for as long as it stays usable.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "ipc/hybrid_messages.hpp"
#include "sdk/hybrid/event_loop.hpp"
#include "sdk/hybrid/hybrid_exchange.hpp"
#include "transport/nonblocking_socket.hpp"

namespace zelto::sdk {

class HybridConnection {
  public:
    // Nothing is created and the path is not looked at until the first exchange.
    explicit HybridConnection(std::string socket_path) : socket_path_(std::move(socket_path)) {}

    // Connects if no socket is held (a failed connect leaves the holder empty, so the next call
    // tries again), then runs one exchange. An I/O failure drops the socket: the stream may be
    // cut mid-frame and could only yield misaligned replies, so the next call connects afresh.
    // A Remote or Decode failure consumed the whole reply; the socket is kept.
    Result<ipc::HybridResponse, HybridError> exchange(const ipc::HybridRequest& request,
                                                      EventLoop& loop);

    // After a fork, in the child: the held socket is the parent's connection (the same open
    // file), so the child lets go of its copy of the descriptor - nothing is sent, the parent's
    // connection stays open - and its next exchange connects afresh.
    void forget_inherited_socket();

    bool connected() const;
    const std::string& socket_path() const { return socket_path_; }

  private:
    const std::string socket_path_;  // exactly as given: not trimmed, validated or resolved
    mutable std::mutex mutex_;       // one exchange at a time on the socket
    std::optional<transport::NonBlockingSocket> socket_;
};

}  // namespace zelto::sdk
