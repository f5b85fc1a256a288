#include "region_report.hpp"

#include "shm/allocator.hpp"
#include "shm/region_layout.hpp"

namespace zelto::inspect {
namespace {

std::vector<PoolClass> pool_classes(const shm::TieredShmAllocator& allocator) {
    std::vector<PoolClass> classes;
    for (const shm::ShmAllocatorClass& item : allocator.classes()) {
        classes.push_back({item.name, item.base, item.slot_size, item.slots, item.region_bytes});
    }
    return classes;
}

template <class Ring, class Entry>
RingReport ring_report(std::string name, const std::uint8_t* region, std::uint64_t offset) {
    return {std::move(name), offset, sizeof(Entry), Ring::counters_at(region + offset)};
}

}  // namespace

bool RegionReport::rings_in_range() const {
    for (const RingReport& ring : rings) {
        if (!ring.counters.in_range()) return false;
    }
    return true;
}

RegionReport inspect_region(const std::string& name, const shm::RegionMapping& mapping) {
    RegionReport report;
    report.name = name;
    report.size = mapping.size();
    const std::uint8_t* region = mapping.bytes();
    if (report.size >= shm::ShmRegionHeader::kSize) {
        report.header = shm::ShmRegionHeader::read_from(region);
    }
    auto checked = shm::check_region(region, report.size);
    if (!checked) {
        report.check_failure = checked.error().message;
        return report;
    }
    const shm::ShmRegionHeader& header = *checked;
    // The clients carve the pool exactly so, each on its own; the lease plays no part in it.
    const auto allocator = shm::TieredShmAllocator::new_with_default_classes(
        header.pool_offset, header.pool_size, shm::TieredShmAllocator::kDefaultLease);
    report.pool = pool_classes(allocator);
    report.pool_layout = allocator.layout_summary();
    report.rings.push_back(ring_report<shm::RequestRing, shm::ShmRequestEntry>(
        "request", region, header.request_ring_offset));
    report.rings.push_back(ring_report<shm::ResponseRing, shm::ShmResponseEntry>(
        "response", region, header.response_ring_offset));
    return report;
}

}  // namespace zelto::inspect
