// How much longer a caller keeps watching for the answer to a request whose tensor block lies in
// the engine's shared memory, beyond the watch it gives every request, before it sleeps.
//
// The engine reads the block and writes its result before it can answer, so the answer to a
// large block comes a copy's time later at the earliest: about 0.3 ms for 4 MiB on the 2-vCPU
// development VM. A caller that sleeps meanwhile pays a wake-up on top (the hybrid client two:
// its event loop's worker and its own). Measured there with an experiment build that read the
// rate from the environment, benchmark rounds taking turns, 100 us per MiB against none:
// ZeltoShmClient with a notify descriptor 1 MiB 234 -> 198-205 us, 4 MiB 1.14-1.20 -> 1.04-1.10
// ms; ZeltoHybridClient 4 MiB 1.29-1.33 -> 1.11-1.13 ms; 16 MiB the same within noise. 250 us
// per MiB gained nothing more.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace zelto::sdk {

inline constexpr std::chrono::microseconds kCopyWatchPerMiB{100};
// An engine that takes longer than this is slow for another reason than the copy: the caller
// sleeps as it would for any slow answer.
inline constexpr std::chrono::microseconds kLongestCopyWatch{2000};

constexpr std::chrono::microseconds copy_watch(std::uint64_t block_bytes) {
    constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
    constexpr std::uint64_t kBytesAtLongest =
        kLongestCopyWatch.count() / kCopyWatchPerMiB.count() * kMiB;
    const std::uint64_t counted = std::min(block_bytes, kBytesAtLongest);
    return std::chrono::microseconds(
        static_cast<std::int64_t>(counted * kCopyWatchPerMiB.count() / kMiB));
}

}  // namespace zelto::sdk
