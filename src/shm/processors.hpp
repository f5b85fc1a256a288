// How many processors the calling thread may run on. Spinning while waiting for the other side
// of the region only pays when that side can run at the same time: confined to one processor, a
// spinning waiter just keeps the processor from the process it is waiting for.
#pragma once

namespace zelto::shm {

// The processors in the calling thread's affinity mask; at least 1 (also when it cannot be read).
int allowed_processors();

}  // namespace zelto::shm
