#include "shm/bulk_copy.hpp"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zelto::shm {
namespace {

#if defined(__x86_64__)

constexpr std::size_t kLine = 64;
// Streaming stores leave the hardware prefetcher to the loads alone, and it does not run far
// enough ahead of them to hide memory latency, so the source is asked for 8 KiB ahead (into L2)
// (bench: bench/run.sh --only zelto-shm --sizes 16777136 --no-soak, "throughput ÷ copy bound").
// A prefetch past the end of the source never faults.
constexpr std::size_t kPrefetchAhead = 8 << 10;

// Bytes up to the next 64-byte boundary of `destination` (streaming stores want whole lines).
std::size_t bytes_to_line(const std::uint8_t* destination) {
    return (kLine - (reinterpret_cast<std::uintptr_t>(destination) & (kLine - 1))) & (kLine - 1);
}

// 256 bytes a round, four full lines; the caller copies the unaligned head and the tail.
__attribute__((target("avx512f"))) void stream_lines_avx512(std::uint8_t* destination,
                                                            const std::uint8_t* source,
                                                            std::size_t size) {
    for (std::size_t i = 0; i < size; i += 4 * kLine) {
        for (std::size_t line = 0; line < 4 * kLine; line += kLine) {
            _mm_prefetch(reinterpret_cast<const char*>(source + i + kPrefetchAhead + line),
                         _MM_HINT_T1);
        }
        const __m512i a = _mm512_loadu_si512(source + i);
        const __m512i b = _mm512_loadu_si512(source + i + kLine);
        const __m512i c = _mm512_loadu_si512(source + i + 2 * kLine);
        const __m512i d = _mm512_loadu_si512(source + i + 3 * kLine);
        _mm512_stream_si512(reinterpret_cast<__m512i*>(destination + i), a);
        _mm512_stream_si512(reinterpret_cast<__m512i*>(destination + i + kLine), b);
        _mm512_stream_si512(reinterpret_cast<__m512i*>(destination + i + 2 * kLine), c);
        _mm512_stream_si512(reinterpret_cast<__m512i*>(destination + i + 3 * kLine), d);
    }
}

// SSE2 is part of every x86-64 processor: one line a round in four 16-byte stores.
void stream_lines_sse2(std::uint8_t* destination, const std::uint8_t* source, std::size_t size) {
    for (std::size_t i = 0; i < size; i += kLine) {
        _mm_prefetch(reinterpret_cast<const char*>(source + i + kPrefetchAhead), _MM_HINT_T1);
        const auto* from = reinterpret_cast<const __m128i*>(source + i);
        auto* to = reinterpret_cast<__m128i*>(destination + i);
        const __m128i a = _mm_loadu_si128(from);
        const __m128i b = _mm_loadu_si128(from + 1);
        const __m128i c = _mm_loadu_si128(from + 2);
        const __m128i d = _mm_loadu_si128(from + 3);
        _mm_stream_si128(to, a);
        _mm_stream_si128(to + 1, b);
        _mm_stream_si128(to + 2, c);
        _mm_stream_si128(to + 3, d);
    }
}

void copy_streaming(std::uint8_t* destination, const std::uint8_t* source, std::size_t size) {
    static const bool wide = __builtin_cpu_supports("avx512f");
    const std::size_t head = bytes_to_line(destination);
    std::memcpy(destination, source, head);
    destination += head;
    source += head;
    size -= head;

    const std::size_t round = wide ? 4 * kLine : kLine;
    const std::size_t body = size - size % round;
    if (wide) {
        stream_lines_avx512(destination, source, body);
    } else {
        stream_lines_sse2(destination, source, body);
    }
    // Streaming stores are weakly ordered: fence them before anything publishes the data.
    _mm_sfence();
    std::memcpy(destination + body, source + body, size - body);
}

#endif

}  // namespace

void copy_for_other_process(void* destination, const void* source, std::size_t size) {
#if defined(__x86_64__)
    if (size >= kStreamingCopyThreshold) {
        copy_streaming(static_cast<std::uint8_t*>(destination),
                       static_cast<const std::uint8_t*>(source), size);
        return;
    }
#endif
    if (size != 0) std::memcpy(destination, source, size);
}

}  // namespace zelto::shm
