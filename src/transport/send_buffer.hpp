// How much a writer may queue on a local stream socket before it waits for its peer to read.
//
// On a Unix stream socket the bytes a writer has queued are charged to its own send buffer
// (SO_SNDBUF, 208 KiB by default on Linux); once that is full, the write blocks until the reader
// has taken some, and the writer then costs a thread wake-up (tens of microseconds on the
// development VM) before it can go on. A request or reply of a few hundred kilobytes pays that
// once or more, on top of the copy itself. Measured there with the mock engine on the other vCPU
// (ZeltoClient over a Unix socket, p50, two runs each): the client's buffer raised alone took
// 256 KiB calls from 134-137 to 85-91 us and 1 MiB calls from 472-488 to 348-384 us; with the
// engine's raised as well, 4 MiB calls went from 1742-1998 to 1320-1353 us and 16 MiB calls from
// 7.8-7.9 to 5.0-5.5 ms. TCP over loopback was unchanged by it (its buffers grow by themselves),
// so only Unix sockets get it.
//
// The buffer is a limit, not an allocation: the kernel holds only what is queued and not yet
// read. It never exceeds the system's net.core.wmem_max (the kernel caps the request there and
// then doubles it for its own bookkeeping), and a buffer already that large is left as it is.
#pragma once

namespace zelto::transport {

inline constexpr int kLocalSendBuffer = 4 << 20;

// Best effort: raises fd's send buffer towards kLocalSendBuffer; a socket that refuses keeps
// its buffer and works as before, only slower for large frames.
void raise_send_buffer(int fd);

}  // namespace zelto::transport
