#include "transport/request_metadata.hpp"

#include <time.h>

#include "common/little_endian.hpp"

namespace zelto::transport {

std::uint64_t wall_clock_ns() {
    struct timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Before the epoch the value is not representable; nothing depends on the stamp's value.
    if (now.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ULL +
           static_cast<std::uint64_t>(now.tv_nsec);
}

RequestMetadata RequestMetadata::create(std::uint64_t request_id, std::uint32_t aux_u32,
                                        std::uint8_t aux_u8_1, std::uint8_t aux_u8_2) {
    RequestMetadata metadata;
    metadata.request_id = request_id;
    metadata.aux_u32 = aux_u32;
    metadata.aux_u8_1 = aux_u8_1;
    metadata.aux_u8_2 = aux_u8_2;
    metadata.timestamp_ns = wall_clock_ns();
    return metadata;
}

void RequestMetadata::encode(std::uint8_t* out) const {
    ByteWriter writer(out);
    writer.put(request_id);
    writer.put(aux_u32);
    writer.put(aux_u8_1);
    writer.put(aux_u8_2);
    writer.put(aux_u8_3);
    writer.put(aux_u8_4);
    writer.put(timestamp_ns);
}

}  // namespace zelto::transport
