#include "report_format.hpp"

#include <cstdio>
#include <string_view>

#include "json_writer.hpp"

namespace zelto::inspect {
namespace {

using Header = shm::ShmRegionHeader;

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string right(std::string text, std::size_t width) {
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

std::string field(std::string_view name, const std::string& value) {
    return "  " + padded(std::string(name), 22) + value + "\n";
}

std::string expected_or_not(bool matches, const std::string& expected) {
    return matches ? "" : "  (the clients expect " + expected + ")";
}

std::string header_text(const RegionReport& report) {
    if (!report.header) {
        return "header: the object holds " + std::to_string(report.size) +
               " bytes, less than the " + std::to_string(Header::kSize) + "-byte header\n";
    }
    const Header& h = *report.header;
    return "header\n" +
           field("magic", hex32(h.magic) +
                              expected_or_not(h.magic == Header::kMagic, hex32(Header::kMagic))) +
           field("version",
                 std::to_string(h.version) + expected_or_not(h.version == Header::kVersion,
                                                             std::to_string(Header::kVersion))) +
           field("request_ring_offset", std::to_string(h.request_ring_offset)) +
           field("response_ring_offset", std::to_string(h.response_ring_offset)) +
           field("pool_offset", std::to_string(h.pool_offset)) +
           field("pool_size", std::to_string(h.pool_size)) +
           field("notify_fd", std::to_string(h.notify_fd) +
                                  (h.notify_fd < 0 ? " (none: clients poll)" : " (the engine's)"));
}

std::string pool_text(const RegionReport& report) {
    std::string out = "tensor pool, carved as every client carves it (default size classes)\n";
    out += "  " + padded("class", 8) + right("base", 12) + right("slot_size", 12) +
           right("slots", 8) + right("bytes", 12) + "\n";
    for (const PoolClass& item : report.pool) {
        out += "  " + padded(item.name, 8) + right(std::to_string(item.base), 12) +
               right(std::to_string(item.slot_size), 12) + right(std::to_string(item.slots), 8) +
               right(std::to_string(item.bytes), 12) + "\n";
    }
    return out;
}

std::string ring_text(const RingReport& ring) {
    const shm::RingCounters& c = ring.counters;
    const char* direction = ring.name == "request" ? "client -> engine" : "engine -> client";
    std::string out = ring.name + " ring (" + direction + ") at offset " +
                      std::to_string(ring.offset) + ", " + std::to_string(ring.entry_size) +
                      "-byte entries, capacity " + std::to_string(shm::kRingCapacity) + "\n";
    out += "  reserve_index " + std::to_string(c.reserve_index) + "  commit_index " +
           std::to_string(c.commit_index) + "  read_index " + std::to_string(c.read_index) + "\n";
    if (!c.in_range()) {
        return out + "  counters out of range (0 to " + std::to_string(shm::kRingCapacity - 1) +
               "): the clients refuse to use this ring\n";
    }
    return out + "  queued " + std::to_string(c.queued()) + " of " +
           std::to_string(shm::kRingCapacity - 1) + ", reserved but unpublished " +
           std::to_string(c.unpublished()) + "\n";
}

void ring_json(JsonWriter& json, const RingReport& ring) {
    const shm::RingCounters& c = ring.counters;
    json.key(ring.name).begin_object();
    json.key("offset").number(ring.offset);
    json.key("entry_size").number(ring.entry_size);
    json.key("capacity").number(shm::kRingCapacity);
    json.key("reserve_index").number(c.reserve_index);
    json.key("commit_index").number(c.commit_index);
    json.key("read_index").number(c.read_index);
    json.key("counters_in_range").boolean(c.in_range());
    if (c.in_range()) {
        json.key("queued").number(c.queued());
        json.key("unpublished").number(c.unpublished());
    } else {
        json.key("queued").null();
        json.key("unpublished").null();
    }
    json.end_object();
}

void header_json(JsonWriter& json, const RegionReport& report) {
    json.key("header");
    if (!report.header) {
        json.null();
        return;
    }
    const Header& h = *report.header;
    json.begin_object();
    json.key("magic").number(std::uint64_t{h.magic});
    json.key("version").number(std::uint64_t{h.version});
    json.key("request_ring_offset").number(h.request_ring_offset);
    json.key("response_ring_offset").number(h.response_ring_offset);
    json.key("pool_offset").number(h.pool_offset);
    json.key("pool_size").number(h.pool_size);
    json.key("notify_fd").number(std::int64_t{h.notify_fd});
    json.end_object();
}

}  // namespace

std::string report_text(const RegionReport& report) {
    std::string out = "region " + report.name + ": " + std::to_string(report.size) + " bytes\n";
    out += header_text(report);
    if (report.check_failure) {
        return out + "check: FAILED: " + *report.check_failure + "\n";
    }
    out += "check: ok (the layout checks the clients make on attaching pass)\n";
    out += pool_text(report);
    for (const RingReport& ring : report.rings) out += ring_text(ring);
    return out;
}

std::string report_json(const RegionReport& report) {
    JsonWriter json;
    json.begin_object();
    json.key("name").string(report.name);
    json.key("size").number(report.size);
    header_json(json, report);
    json.key("check").begin_object();
    json.key("ok").boolean(!report.check_failure);
    json.key("message");
    if (report.check_failure) {
        json.string(*report.check_failure);
    } else {
        json.null();
    }
    json.end_object();
    json.key("valid").boolean(report.valid());
    json.key("pool").begin_object();
    json.key("layout").string(report.pool_layout);
    json.key("classes").begin_array();
    for (const PoolClass& item : report.pool) {
        json.begin_object();
        json.key("name").string(item.name);
        json.key("base").number(item.base);
        json.key("slot_size").number(item.slot_size);
        json.key("slots").number(item.slots);
        json.key("bytes").number(item.bytes);
        json.end_object();
    }
    json.end_array().end_object();
    json.key("rings").begin_object();
    for (const RingReport& ring : report.rings) ring_json(json, ring);
    json.end_object();
    json.end_object();
    return json.text() + "\n";
}

}  // namespace zelto::inspect
