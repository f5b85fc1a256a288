// Copying large tensors into shared memory that the other process reads next, and large results
// into the bytes objects handed to the caller (python/binding/result_bytes.hpp).
//
// A plain memcpy reads every destination line into this processor's cache before overwriting it
// (read-for-ownership), and in the region those lines were last touched by the other process on
// the other processor, so each one is first fetched from there. Non-temporal (streaming) stores
// write whole lines to memory without that read, but they also leave nothing in the caches, so
// the reader then fetches everything from memory. Which wins depends on whether the data would
// have stayed in the caches: on the development machine plain copies won at 4 MiB, the two were
// about even at 8 MiB and streaming won at 16 MiB, so the threshold sits between
// (bench: bench/run.sh --only zelto-shm --sizes 4194304,8388608,16777136 --no-soak).
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
