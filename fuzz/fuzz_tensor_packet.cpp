// decode_tensor_packet on arbitrary reply bodies: the bytes of a successful unary reply and of
// every stream data frame come straight from the engine.
//
// Properties, for any input:
//   - no read outside the input, no allocation sized by an announced count or length: the
//     largest heap block stays within the first 1 MiB reservation or a small multiple of the
//     input size;
//   - a failure is one of the documented texts;
//   - a success consumed some prefix: that prefix alone decodes to the same packet, one byte
//     less fails, and the packet written back in payload form decodes to itself;
//   - the view decoder (with its short path for plain payloads) gives the same packet or the
//     same failure text, and the short path, when it answers, gives that packet too;
//   - the short path answers exactly when the plain head does, its data lies where the head
//     says and a zero tag follows it (what a reply received straight into caller memory checks).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/little_endian.hpp"
#include "engine_api/record_reader.hpp"
#include "engine_api/tensor_packet.hpp"
#include "support/allocation_watch.hpp"
#include "support/fuzz_check.hpp"

namespace {

using zelto::engine_api::BinaryTensorPacket;
using zelto::engine_api::decode_tensor_packet;
using zelto::engine_api::decode_tensor_packet_view;
using zelto::engine_api::dtype_name;
using zelto::engine_api::read_plain_packet_head;
using zelto::engine_api::read_plain_packet_view;
using zelto::engine_api::read_tensor_packet;
using zelto::engine_api::RecordReader;

// A decoder may reserve up to 1 MiB (131,072 shape elements, or 1 MiB of data) before the
// elements arrive. Beyond that, lower-casing a dtype name can grow it by half (U+0130 takes two
// bytes, its lower case three) and a growing string may hold twice its length, so a fixed multiple
// of the input is the honest bound. A buffer sized by an announced count (up to 2^64) is far
// beyond both.
constexpr std::size_t kFirstReservation = std::size_t{1} << 20;
constexpr std::size_t kAllocationFactor = 4;
constexpr std::size_t kSmallAllocationSlack = 256;

bool starts_with_any(std::string_view message, std::initializer_list<std::string_view> prefixes) {
    for (auto prefix : prefixes) {
        if (message.starts_with(prefix)) return true;
    }
    return false;
}

void check_failure_text(const std::string& m) {
    const bool known =
        m == "io error: unexpected end of file" || m == "io error: " ||
        m == "binary tensor payload must include only one of `data` or `data_base64`" ||
        m == "binary tensor payload must include `data` or `data_base64`" ||
        m == "Invalid padding" ||
        starts_with_any(m, {"tag for enum is not valid, found ",
                            "string is not valid utf8: invalid utf-8 sequence of ",
                            "string is not valid utf8: incomplete utf-8 byte sequence from index ",
                            "Invalid input: Unsupported dtype: ", "Invalid symbol ",
                            "Invalid last symbol ", "Invalid input length: "});
    FUZZ_CHECK(known, "unexpected failure text: " + m);
    if (m.starts_with("tag for enum is not valid, found ")) {
        const std::string tag = m.substr(m.rfind(' ') + 1);
        FUZZ_CHECK(tag.size() <= 3 && std::stoi(tag) >= 2 && std::stoi(tag) <= 255, m);
    }
}

// The payload form with raw data present and no base64 text: what the mock engine sends.
std::vector<std::uint8_t> write_payload(const BinaryTensorPacket& packet) {
    std::vector<std::uint8_t> out;
    const auto put_u64 = [&](std::uint64_t value) {
        std::uint8_t bytes[8];
        zelto::store_le(bytes, value);
        out.insert(out.end(), bytes, bytes + 8);
    };
    put_u64(packet.shape.size());
    for (std::int64_t dim : packet.shape) put_u64(static_cast<std::uint64_t>(dim));
    const std::string_view name = dtype_name(packet.dtype);
    put_u64(name.size());
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(1);
    put_u64(packet.data.size());
    out.insert(out.end(), packet.data.begin(), packet.data.end());
    out.push_back(0);
    return out;
}

bool same(const BinaryTensorPacket& a, const BinaryTensorPacket& b) {
    return a.shape == b.shape && a.dtype == b.dtype && a.data == b.data;
}

void check_plain_head(std::span<const std::uint8_t> input,
                      const std::optional<zelto::engine_api::TensorPacketView>& plain) {
    const auto head = read_plain_packet_head(input);
    const bool head_says_plain = head && head->data_length < input.size() - head->data_offset &&
                                 input[head->data_offset + head->data_length] == 0;
    FUZZ_CHECK(head_says_plain == plain.has_value(), "the plain head and the short path disagree");
    if (!plain) return;
    FUZZ_CHECK(plain->data().data() == input.data() + head->data_offset &&
                   plain->data().size() == head->data_length && plain->dtype() == head->dtype &&
                   plain->rank() * 8 == head->shape_bytes.size(),
               "the plain head names other data");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);

    std::size_t consumed = 0;
    auto packet = [&] {
        zelto::fuzz::AllocationWatch watch;
        RecordReader reader(input);
        auto result = read_tensor_packet(reader);
        consumed = reader.offset();
        FUZZ_CHECK(watch.largest() <= std::max(kFirstReservation, kAllocationFactor * size) +
                                          kSmallAllocationSlack,
                   "allocated " + std::to_string(watch.largest()) + " bytes for a " +
                       std::to_string(size) + "-byte body");
        return result;
    }();

    auto view = decode_tensor_packet_view(input);
    auto plain = read_plain_packet_view(input);
    check_plain_head(input, plain);
    if (!packet) {
        FUZZ_CHECK(!view && view.error().message == packet.error().message,
                   "the view decoder disagrees: " +
                       (view ? std::string("success") : view.error().message));
        FUZZ_CHECK(!plain, "the short path accepted a payload the reader refuses");
        check_failure_text(packet.error().message);
        auto again = decode_tensor_packet(input);
        FUZZ_CHECK(!again && again.error().message == packet.error().message, "not deterministic");
        return 0;
    }

    FUZZ_CHECK(view && same(view->to_owned(), *packet), "the view decoder disagrees");
    FUZZ_CHECK(!plain || same(plain->to_owned(), *packet), "the short path disagrees");
    FUZZ_CHECK(consumed <= size, "reader moved past the input");
    FUZZ_CHECK(8 + 8 * packet->shape.size() <= consumed && packet->data.size() <= consumed,
               "packet holds more than the bytes it was decoded from");

    auto exact = decode_tensor_packet(input.first(consumed));
    FUZZ_CHECK(exact && same(*exact, *packet), "trailing bytes changed the packet");
    auto short_by_one = decode_tensor_packet(input.first(consumed - 1));
    FUZZ_CHECK(!short_by_one, "a packet decoded without its last byte");

    const auto rewritten = write_payload(*packet);
    auto reread = decode_tensor_packet(rewritten);
    FUZZ_CHECK(
        reread && same(*reread, *packet),
        reread ? "rewritten packet differs" : "rewritten packet fails: " + reread.error().message);
    return 0;
}
