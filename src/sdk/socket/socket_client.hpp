// The socket client core behind ZeltoClient, free of Python: it owns the resolved target, the
// optional API token, the pool limit and the pool, and runs the unary exchange (with its single
// reconnect-and-retry), the opening of a stream and the reading of stream items.
//
// Results are handed over as views: a reply's or stream item's tensor is decoded where it landed
// (the connection's receive buffer, or for large data memory the caller provided, see
// sdk/socket/packet_receive.hpp) and given to a sink before the connection is released, so the data
// is copied at most once on its way into whatever the caller returns.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "engine_api/inference_request.hpp"
#include "engine_api/tensor_packet.hpp"
#include "sdk/socket/client_config.hpp"
#include "sdk/socket/client_error.hpp"
#include "sdk/socket/connection_pool.hpp"
#include "sdk/socket/endpoint.hpp"
#include "sdk/socket/function_ref.hpp"
#include "sdk/socket/unary_reply.hpp"
#include "transport/connection.hpp"
#include "transport/frame.hpp"

namespace zelto::sdk {

// Receives one stream item's data, valid only during the call.
using ItemSink = FunctionRef<void(std::span<const std::uint8_t>)>;

// One tensor as the caller gave it: the dtype still unparsed text; shape and data borrowed from
// the caller, who keeps them alive for the whole call.
struct TensorInput {
    std::span<const std::int64_t> shape;
    std::string_view dtype;
    std::span<const std::uint8_t> data;
};

struct NamedTensorInput {
    std::string_view name;
    TensorInput tensor;
};

// The arguments of one infer / infer_tensor / infer_stream call.
struct InferInput {
    std::uint32_t model_id = 0;
    TensorInput input;
    std::span<const NamedTensorInput> additional_inputs;
    std::optional<std::string_view> session_id;
};

// One request with its additional inputs' dtypes parsed; the main dtype is parsed per attempt,
// after a connection has been taken, so that an unreachable engine is reported first.
struct PreparedInfer {
    std::uint32_t model_id = 0;
    TensorInput input;
    std::vector<engine_api::NamedTensor> additional_inputs;
    std::optional<std::string_view> session_id;
};

// Parses every additional input's dtype, in the given order; the first that fails stops with
// InvalidRequest carrying "Invalid input: Unsupported dtype: <lower-cased>".
Result<PreparedInfer, ClientError> prepare_infer(const InferInput& input);

// Opens a new connection to the target; every failure is an Io error.
Result<transport::ReadWriteConnection, ClientError> connect_stream(const ConnectionTarget& target);

// A failure of infer_stream before the iterator exists. Write failures are reported apart, as
// the Python layer raises them as the OSError subclass of their errno rather than as a
// ConnectionError.
struct StreamOpenError {
    ClientError error;
    bool while_writing = false;
};

// What one read of a stream gives: an item's data, the end of the stream, or an error text
// (an I/O failure, an engine error frame, or an undecodable data frame).
struct StreamStep {
    enum class Kind { Item, End, Error };
    Kind kind = Kind::End;
    std::vector<std::uint8_t> data;  // Item, when read without a sink
    std::string message;             // Error
};

// Reads exactly one stream frame. The connection stays usable after any result; nothing is
// remembered between calls. An item's data goes to `on_item` (the step then has kind Item and
// no data of its own); large data perhaps received straight into `destination` first, as for a
// unary reply.
StreamStep next_stream_item(transport::ReadWriteConnection& connection, ItemSink on_item,
                            DataDestination destination);
// The same, with an item's data copied into the step.
StreamStep next_stream_item(transport::ReadWriteConnection& connection);

// One unary attempt on one connection: parse the main dtype, encode (with `api_token` in the
// metadata when there is one), write op 1, read and decode the reply. SocketClient::infer runs
// it with its retry around it; tests drive it alone on a socket pair.
Result<void, ClientError> exchange_unary(transport::ReadWriteConnection& connection,
                                         const PreparedInfer& request,
                                         const std::optional<std::string>& api_token,
                                         PacketSink sink, DataDestination destination);

class SocketClient {
  public:
    explicit SocketClient(ClientConfig config);

    const ClientConfig& config() const { return config_; }
    ConnectionPool& pool() { return pool_; }

    // infer and infer_tensor: prepare_infer, then run_infer; the result tensor goes to `sink`,
    // large data perhaps straight into `destination` (sdk/socket/packet_receive.hpp).
    Result<void, ClientError> infer(const InferInput& input, PacketSink sink,
                                    DataDestination destination);

    // infer_stream up to the iterator: parse additional dtypes, connect (never the pool), parse
    // the main dtype, encode, write op 2. Nothing is read.
    Result<transport::ReadWriteConnection, StreamOpenError> open_stream(const InferInput& input);

  private:
    // The unary exchange: a pooled or new connection; on an Io failure exactly one fresh
    // connection and a second attempt. Connections left aligned go back to the pool.
    Result<void, ClientError> run_infer(const PreparedInfer& request, PacketSink sink,
                                        DataDestination destination);

    ClientConfig config_;
    ConnectionPool pool_;
};

}  // namespace zelto::sdk
