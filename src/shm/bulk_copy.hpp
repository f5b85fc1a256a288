// Copying large tensors into shared memory that the other process reads next, and large results
// into the bytes objects handed to the caller (python/binding/result_bytes.hpp).
//
// A plain memcpy reads every destination line into this processor's cache before overwriting it
// (read-for-ownership), and in the region those lines were last touched by the other process on
// the other processor, so each one is first fetched from there. Non-temporal (streaming) stores
// write whole lines to memory without that read, but they also leave nothing in the caches, so
// the reader then fetches everything from memory. Which wins depends on whether the data would
// have stayed in the caches. Measured on the 2-vCPU machine the benchmarks run on (client copy
// in, engine echo copy, client copy out; totals per call):
//   4 MiB:  plain 0.92 ms, streamed both ways 1.31 ms
//   8 MiB:  plain 2.40 ms, streamed 2.47 ms
//   16 MiB: plain 6.85 ms, streamed 5.41 ms (client copy in 1.96 -> 1.36 ms, engine copy
//           2.49 -> 1.98 ms; a memcpy between two private, warm buffers took 1.36 ms)
#pragma once

#include <cstddef>

namespace zelto::shm {

// Copies from 8 MiB up are streamed; smaller ones use memcpy.
inline constexpr std::size_t kStreamingCopyThreshold = std::size_t{8} << 20;

// memcpy semantics (the ranges must not overlap), with streaming stores for large copies where
// the processor has them. The stores are fenced before returning, so a release store that
// publishes the data afterwards (a ring entry) orders them like ordinary stores.
void copy_for_other_process(void* destination, const void* source, std::size_t size);

}  // namespace zelto::shm
