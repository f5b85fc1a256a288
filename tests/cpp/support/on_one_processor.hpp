// Runs a piece of a test on a thread confined to one processor (the first one the calling thread
// may use), for code that behaves differently when it cannot run anywhere else.
#pragma once

#include <sched.h>

#include <thread>

namespace zelto::testing_support {

// Runs `body` on a new thread pinned to one processor and joins it. False (and `body` not run)
// when the thread could not be pinned.
template <class Body>
bool run_on_one_processor(Body&& body) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (::sched_getaffinity(0, sizeof mask, &mask) != 0) return false;
    bool pinned = false;
    std::thread([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &mask)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        pinned = ::sched_setaffinity(0, sizeof one, &one) == 0;
        if (pinned) body();
    }).join();
    return pinned;
}

}  // namespace zelto::testing_support
