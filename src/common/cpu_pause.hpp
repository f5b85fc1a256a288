// The processor's spin-wait hint: lets a sibling hyperthread run and saves power while a thread
// polls shared memory or a socket for a few hundred nanoseconds.
#pragma once

namespace zelto {

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace zelto
