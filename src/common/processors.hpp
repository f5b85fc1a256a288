// How many processors the calling thread may run on. Spinning while waiting for another process
// (the engine behind a shared region or a socket) only pays when that process can run at the
// same time: confined to one processor, a spinning waiter just keeps the processor from the
// process it is waiting for. The hybrid client's event loop also sizes its workers by it.
#pragma once

namespace zelto {

// The processors in the calling thread's affinity mask; at least 1 (also when it cannot be read).
int allowed_processors();

}  // namespace zelto
