// The Python-free core of ZeltoHybridClient: tensors travel through the engine's shared region,
// the 40-byte request and reply records over a lazily connected Unix socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "sdk/hybrid/event_loop.hpp"
#include "sdk/hybrid/hybrid_connection.hpp"
#include "sdk/hybrid/hybrid_error.hpp"
#include "sdk/shm/shared_region.hpp"

namespace zelto::sdk {

// Memory of the caller's for the result bytes, asked for once their size is known: the client
// copies them into it while they still lie in the region and the request slot is still held,
// so they are copied exactly once.
class ResultSink {
  public:
    // `size` bytes to copy the result into, or nullptr after recording its own error.
    virtual std::uint8_t* reserve(std::size_t size) = 0;

  protected:
    ~ResultSink() = default;
};

class HybridClient {
  public:
    // Attaches the region through this process's share of it (sdk/shm/shared_region.hpp: the slot
    // allocator and id counter of every client object on it) and starts the event loop (one
    // worker per available processor). The socket path is only looked at by the first `infer`.
    static Result<std::unique_ptr<HybridClient>, HybridError> create(const std::string& shm_name,
                                                                     std::string socket_path);

    // One inference. The caller gives each client object to one thread at a time.
    // In a process forked from the one that made the client, the first call replaces the
    // inherited event loop and socket (see `adopt_after_fork`).
    Result<void, HybridError> infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                    const std::uint8_t* data, std::size_t size, ResultSink& sink);

  private:
    HybridClient(std::shared_ptr<SharedRegion> share, std::string socket_path,
                 std::unique_ptr<EventLoop> event_loop);

    // The loop's workers did not survive a fork and the socket is the parent's connection: a
    // forked child gets a new loop and drops its copy of the socket (the next exchange
    // connects). The inherited loop is released without joining (EventLoop's destructor knows).
    // The mapping is kept; slots and ids come from the child's own share of the region. Fails
    // when the new loop cannot start or the share cannot be made (the text says which).
    Result<void, HybridError> adopt_after_fork();
    // Re-attaches when the region's name now refers to a recreated object (engine restart).
    Result<void, HybridError> follow_recreated_region();

    // Members are destroyed bottom-up: the region goes first and the event loop, whose
    // threads are joined, last.
    std::unique_ptr<EventLoop> event_loop_;
    HybridConnection connection_;
    std::shared_ptr<SharedRegion> share_;
};

}  // namespace zelto::sdk
