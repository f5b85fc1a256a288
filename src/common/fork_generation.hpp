// Tells a process apart from the one it was forked from, without a system call per question.
//
// `getpid()` answers the same question, but it is a system call, and the clients ask on every
// call. A handler registered with pthread_atfork bumps a counter in the child of every fork, so
// comparing the counter with the value an object saved at its birth costs one load.
#pragma once

#include <cstdint>

namespace zelto {

// Registers the fork handler (once per process; the registration is inherited by children).
// Call it before saving a generation: forks before the first registration are not counted.
void watch_forks();

// How many forks lie between the process that first called `watch_forks` and this one.
std::uint64_t current_fork_generation();

}  // namespace zelto
