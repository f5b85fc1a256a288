// What zelto-shm-inspect finds in a region, gathered once through the clients' own code: the
// read-only mapping (shm/region_mapping), their attach checks (shm/region_layout), the carving of
// the pool by TieredShmAllocator and the rings' counters (shm/ring_buffer).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shm/region_mapping.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_manager.hpp"

namespace zelto::inspect {

struct PoolClass {
    std::string name;
    std::uint64_t base;
    std::uint64_t slot_size;
    std::uint64_t slots;
    std::uint64_t bytes;
};

struct RingReport {
    std::string name;      // "request" or "response"
    std::uint64_t offset;  // from the region start
    std::uint64_t entry_size;
    shm::RingCounters counters;
};

struct RegionReport {
    std::string name;
    std::uint64_t size = 0;
    std::optional<shm::ShmRegionHeader> header;  // when the object holds the whole header
    std::optional<std::string> check_failure;    // the clients' attach error, if any
    // Filled only when the checks pass: before that, offsets cannot be trusted.
    std::vector<PoolClass> pool;
    std::string pool_layout;  // as in the clients' pool-exhaustion message
    std::vector<RingReport> rings;

    bool rings_in_range() const;
    bool valid() const { return !check_failure && rings_in_range(); }
};

RegionReport inspect_region(const std::string& name, const shm::RegionMapping& mapping);

}  // namespace zelto::inspect
