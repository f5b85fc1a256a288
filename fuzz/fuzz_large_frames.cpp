// The client's frame readers fed megabytes: data from 1 MiB up may be received straight into
// memory the caller provides (sdk/socket/packet_receive.hpp), and small inputs never get there. The
// input is a mode byte (see read_frames), then a little-endian u32 and u16, then what an
// engine writes on a connection before it stops writing. The u32 gives a count (modulo kMaxFill +
// 1) of pattern bytes inserted at the position the u16 gives (modulo the rest's length + 1), so a
// few hundred bytes of frame headers, packet heads and tails frame megabytes of data. Checked
// properties: support/frame_reading.hpp.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/little_endian.hpp"
#include "support/frame_reading.hpp"

namespace {

// Past twice the size from which data goes straight to the caller's memory, and small enough for
// the socket to take a whole input.
constexpr std::size_t kMaxFill = (std::size_t{2} << 20) + (std::size_t{64} << 10);
constexpr std::size_t kWidening = 6;  // the u32 and the u16

// The pattern bytes, made once: filling them in byte by byte for every input took most of the
// target's time.
std::span<const std::uint8_t> fill_pattern() {
    static const std::vector<std::uint8_t> pattern = [] {
        std::vector<std::uint8_t> bytes(kMaxFill);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 251 + 7);
        }
        return bytes;
    }();
    return pattern;
}

// `input` (after the mode byte) widened into `out`, whose capacity is kept from input to input.
void widen(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out) {
    const std::size_t count = zelto::load_le<std::uint32_t>(input.data()) % (kMaxFill + 1);
    const auto rest = input.subspan(kWidening);
    const auto at = static_cast<std::ptrdiff_t>(zelto::load_le<std::uint16_t>(input.data() + 4) %
                                                (rest.size() + 1));
    const auto fill = fill_pattern().first(count);
    out.clear();
    out.insert(out.end(), rest.begin(), rest.begin() + at);
    out.insert(out.end(), fill.begin(), fill.end());
    out.insert(out.end(), rest.begin() + at, rest.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 + kWidening) return 0;
    static std::vector<std::uint8_t> stream;  // kept: fresh megabytes would cost page faults
    widen(std::span<const std::uint8_t>(data + 1, size - 1), stream);
    zelto::fuzz::read_frames(data[0], stream);
    return 0;
}
