// Opening a ReadWriteConnection: a Unix-domain stream socket to a path, or a TCP stream to a
// "host:port" text. Sockets are close-on-exec; TCP connections get TCP_NODELAY so the small frame
// headers are not held back by Nagle's algorithm; Unix-socket connections get a larger send
// buffer (transport/send_buffer.hpp). No timeouts are set. A connection to a Unix socket or a
// loopback address spins briefly before it blocks for a reply (idle::kLocalSocketReply).
#pragma once

#include <string_view>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "transport/connection.hpp"

namespace zelto::transport {

// The path is used byte for byte. "paths must not contain interior null bytes",
// "path must be shorter than SUN_LEN" (108 bytes or more), else the system error.
Result<ReadWriteConnection, IoError> connect_unix(std::string_view path);

// A numeric "a.b.c.d:port" or "[v6]:port" is used as is; anything else is split at its last ':'
// and the host resolved: "invalid socket address", "invalid port value",
// "failed to lookup address information: <resolver text>", "could not resolve to any
// addresses", or the error of the last address tried.
Result<ReadWriteConnection, IoError> connect_tcp(std::string_view address);

}  // namespace zelto::transport
