// Reading the reply to a unary call and handing its tensor to the caller's sink; large data
// may go straight into memory the caller provides (sdk/socket/packet_receive.hpp).
#pragma once

#include "common/result.hpp"
#include "sdk/socket/client_error.hpp"
#include "sdk/socket/packet_receive.hpp"
#include "transport/connection.hpp"

namespace zelto::sdk {

// Reads one reply frame and gives its tensor to `sink` (at most once, and only on success).
// A non-zero status is a Remote error with the body as text, an undecodable payload a
// Protocol error, a failed read an Io error; afterwards an oversized receive buffer is let go.
Result<void, ClientError> read_unary_reply(transport::ReadWriteConnection& connection,
                                           PacketSink sink, DataDestination destination);

}  // namespace zelto::sdk
