#include "sdk/hybrid/hybrid_connection.hpp"

namespace zelto::sdk {

Result<ipc::HybridResponse, HybridError> HybridConnection::exchange(
    const ipc::HybridRequest& request, EventLoop& loop) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!socket_) {
        auto connected = transport::NonBlockingSocket::connect(socket_path_, loop);
        if (!connected) {
            return unexpected(
                HybridError{HybridError::Kind::Io, std::move(connected.error().message)});
        }
        socket_.emplace(std::move(*connected));
    }
    auto outcome = run_hybrid_exchange(*socket_, loop, request);
    if (!outcome && outcome.error().stream_broken()) socket_.reset();
    return outcome;
}

void HybridConnection::forget_inherited_socket() {
    std::lock_guard<std::mutex> lock(mutex_);
    socket_.reset();
}

bool HybridConnection::connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return socket_.has_value();
}

}  // namespace zelto::sdk
