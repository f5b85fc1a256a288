// How many processors the calling thread may run on. Confined to one, a thread that waits for
// another process may be keeping the processor from the process it waits for (its waits then
// skip their busy phase, common/idle_strategy.hpp). The hybrid client's event loop also sizes its
// workers by it.
#pragma once

namespace zelto {

// The processors in the calling thread's affinity mask; at least 1 (also when it cannot be read).
int allowed_processors();

}  // namespace zelto
