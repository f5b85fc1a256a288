// The client's frame readers over a real byte stream: the input (after a mode byte) is everything
// an engine writes on a connection before it stops writing. Checked properties:
// support/frame_reading.hpp. Inputs are small; fuzz_large_frames feeds the same readers megabytes.
//
// The mode byte: see read_frames.
#include <cstddef>
#include <cstdint>
#include <span>

#include "support/frame_reading.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    zelto::fuzz::read_frames(data[0], std::span<const std::uint8_t>(data + 1, size - 1));
    return 0;
}
