// How much a writer may queue on a local stream socket before it waits for its peer to read.
//
// On a Unix stream socket the bytes a writer has queued are charged to its own send buffer
// (SO_SNDBUF, 208 KiB by default on Linux); once that is full, the write blocks until the reader
// has taken some, and the writer then costs a thread wake-up (tens of microseconds on the
// development VM) before it can go on. A request or reply of a few hundred kilobytes pays that
// once or more, on top of the copy itself.
//
// How much to allow is a trade. Measured there, ZeltoClient over a Unix socket against the mock
// engine (p50; both ends raised; "default" is 208 KiB at both):
// - client and engine on different vCPUs, where the writer goes on while the reader copies:
//   default 147-149 us at 256 KiB, 521-522 us at 1 MiB, 1.55-1.83 ms at 4 MiB, 7.8 ms at 16 MiB;
//   256 KiB asked (512 KiB kept): 89-95 us, 330-364 us, 1.32-1.35 ms, 5.5-5.9 ms; asking for
//   4 MiB gained nothing more.
// - both on one vCPU, where they take turns (presumably a smaller buffer keeps what one writes
//   in the cache until the other reads it): 256 KiB asked cost 1 MiB calls 239-268 -> 294-306 us
//   and 4 MiB calls 1.06-1.12 -> 1.09-1.14 ms (256 KiB calls went 48-51 -> 43-45 us); 4 MiB
//   asked cost far more (4 MiB calls 1.1 -> 1.8 ms, 16 MiB calls 6.4 -> 9.2 ms).
// TCP over loopback was unchanged by it (its buffers grow by themselves), so only Unix sockets
// get it.
//
// The buffer is a limit, not an allocation: the kernel holds only what is queued and not yet
// read. It never exceeds the system's net.core.wmem_max (the kernel caps the request there and
// then doubles it for its own bookkeeping), and a buffer already that large is left as it is.
#pragma once

namespace zelto::transport {

inline constexpr int kLocalSendBuffer = 256 << 10;

// Best effort: raises fd's send buffer towards kLocalSendBuffer; a socket that refuses keeps
// its buffer and works as before, only slower for large frames.
void raise_send_buffer(int fd);

}  // namespace zelto::transport
