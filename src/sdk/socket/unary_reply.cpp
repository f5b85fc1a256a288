#include "sdk/socket/unary_reply.hpp"

#include <utility>

#include "common/utf8.hpp"
#include "transport/frame.hpp"

namespace zelto::sdk {
namespace {

using transport::ReadWriteConnection;

Result<void, ClientError> read_reply(ReadWriteConnection& connection, PacketSink sink,
                                     DataDestination destination) {
    auto header = transport::peek_frame_header(connection);
    if (!header) return unexpected(ClientError::from_io(std::move(header).error()));
    if (header->word == 0) {
        if (auto direct = receive_packet_direct(connection, header->length, sink, destination)) {
            return std::move(*direct);
        }
    }
    auto frame = transport::receive_frame(connection, *header);
    if (!frame) return unexpected(ClientError::from_io(std::move(frame).error()));
    if (frame->word != 0) {
        return unexpected(ClientError::remote(utf8_lossy(frame->body.data(), frame->body.size())));
    }
    return deliver_packet(frame->body, sink);
}

}  // namespace

Result<void, ClientError> read_unary_reply(ReadWriteConnection& connection, PacketSink sink,
                                           DataDestination destination) {
    auto outcome = read_reply(connection, sink, destination);
    // The reply has been used up; a buffer that one huge reply blew up is not kept idle.
    connection.release_spare_memory();
    return outcome;
}

}  // namespace zelto::sdk
