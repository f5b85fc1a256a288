// The one error of the hybrid client: creating it, a call, and the exchange inside a call.
#pragma once

#include <string>

namespace zelto::sdk {

struct HybridError {
    enum class Kind {
        Connection,  // the region could not be attached: the ShmError text
        Value,       // unrecognised dtype, or a shape that does not fit a tensor block
        Runtime,     // the event loop could not start, the pool is exhausted, a failed exchange
                     // as a call reports it, a reply naming a block outside the region
        Sink,        // the result sink refused the bytes; it has recorded its own error
        Io,          // exchange: connect, write or read failed: OS error text, "early eof" or
                     // "write zero"
        Remote,      // exchange: reply_status != 0: the engine's text, decoded lossily as UTF-8
        Decode,      // exchange: reply_status == 0 with a body shorter than 40 bytes
    };
    Kind kind = Kind::Runtime;
    std::string message;

    // After an I/O failure the stream may have stopped anywhere inside a frame, so the next
    // exchange cannot find a frame boundary on it. Remote and Decode failures consume the whole
    // reply and leave the stream aligned.
    bool stream_broken() const { return kind == Kind::Io; }
};

}  // namespace zelto::sdk
