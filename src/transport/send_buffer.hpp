// How much a writer may queue on a local stream socket before it waits for its peer to read.
//
// On a Unix stream socket the bytes a writer has queued are charged to its own send buffer
// (SO_SNDBUF, 208 KiB by default on Linux); once that is full, the write blocks until the reader
// has taken some, and the writer then costs a thread wake-up (tens of microseconds on the
// development VM) before it can go on. A request or reply of a few hundred kilobytes pays that
// once or more, on top of the copy itself.
//
// How much to allow is a trade. Asking for 256 KiB at both ends (512 KiB kept) made ZeltoClient's
// large calls over a Unix socket clearly faster with client and engine on different vCPUs, where
// the writer goes on while the reader copies, and cost 1 MiB and 4 MiB calls a little with both
// on one vCPU, where they take turns (presumably a smaller buffer keeps what one writes in the
// cache until the other reads it); asking for 4 MiB gained nothing more apart and cost far more
// on one vCPU (bench: bench/run.sh --only zelto-unix --sizes 262144,1048576,4194304,16777136
// --no-soak, and the same with --one-core).
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
