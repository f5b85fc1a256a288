#include "transport/send_buffer.hpp"

#include <sys/socket.h>

namespace zelto::transport {

void raise_send_buffer(int fd) {
    int current = 0;
    socklen_t length = sizeof current;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &current, &length) != 0) return;
    // The kernel reports the doubled value it keeps; asking for kLocalSendBuffer sets at most
    // twice that.
    if (current >= 2 * kLocalSendBuffer) return;
    const int wanted = kLocalSendBuffer;
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);
}

}  // namespace zelto::transport
