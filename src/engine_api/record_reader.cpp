#include "engine_api/record_reader.hpp"

#include <algorithm>

#include "common/little_endian.hpp"
#include "common/utf8.hpp"

namespace zelto::engine_api {
namespace {

// Up-front reservation caps for peer-announced counts: growth beyond them only happens as
// elements are really read, so a hostile count costs at most the bytes present plus these.
constexpr std::size_t kShapeReserveLimit = 131072;  // int64 elements, 1 MiB

}  // namespace

DecodeError RecordReader::end_of_file() {
    return {"io error: unexpected end of file"};
}

template <class T>
Result<T, DecodeError> RecordReader::fixed() {
    if (remaining() < sizeof(T)) return unexpected(end_of_file());
    T value = load_le<T>(bytes_.data() + offset_);
    offset_ += sizeof(T);
    return value;
}

Result<std::uint8_t, DecodeError> RecordReader::u8() {
    return fixed<std::uint8_t>();
}
Result<std::uint32_t, DecodeError> RecordReader::u32() {
    return fixed<std::uint32_t>();
}
Result<std::uint64_t, DecodeError> RecordReader::u64() {
    return fixed<std::uint64_t>();
}
Result<std::int32_t, DecodeError> RecordReader::i32() {
    return fixed<std::int32_t>();
}
Result<std::int64_t, DecodeError> RecordReader::i64() {
    return fixed<std::int64_t>();
}
Result<float, DecodeError> RecordReader::f32() {
    return fixed<float>();
}

Result<bool, DecodeError> RecordReader::boolean() {
    auto byte = u8();
    if (!byte) return unexpected(std::move(byte).error());
    if (*byte > 1)
        return unexpected(DecodeError{"invalid value: integer `" + std::to_string(*byte) +
                                      "`, expected a boolean"});
    return *byte == 1;
}

Result<bool, DecodeError> RecordReader::tag() {
    auto byte = u8();
    if (!byte) return unexpected(std::move(byte).error());
    if (*byte > 1) {
        return unexpected(DecodeError{"tag for enum is not valid, found " + std::to_string(*byte)});
    }
    return *byte == 1;
}

Result<std::string_view, DecodeError> RecordReader::string_view() {
    auto length = u64();
    if (!length) return unexpected(std::move(length).error());
    // A string is taken whole, so a length past the end fails before any byte is read, with no
    // further detail.
    if (*length > remaining()) return unexpected(DecodeError{"io error: "});
    std::string_view text(reinterpret_cast<const char*>(bytes_.data() + offset_),
                          static_cast<std::size_t>(*length));
    if (auto bad = find_utf8_error(text)) {
        return unexpected(DecodeError{"string is not valid utf8: " + bad->describe()});
    }
    offset_ += text.size();
    return text;
}

Result<std::string, DecodeError> RecordReader::string() {
    auto text = string_view();
    if (!text) return unexpected(std::move(text).error());
    return std::string(*text);
}

Result<std::span<const std::uint8_t>, DecodeError> RecordReader::byte_view() {
    auto length = u64();
    if (!length) return unexpected(std::move(length).error());
    // Checked against the bytes present, so the view never extends past what the peer sent.
    if (*length > remaining()) return unexpected(end_of_file());
    std::span<const std::uint8_t> view = bytes_.subspan(offset_, static_cast<std::size_t>(*length));
    offset_ += view.size();
    return view;
}

Result<std::vector<std::uint8_t>, DecodeError> RecordReader::byte_string() {
    auto view = byte_view();
    if (!view) return unexpected(std::move(view).error());
    return std::vector<std::uint8_t>(view->begin(), view->end());
}

Result<std::span<const std::uint8_t>, DecodeError> RecordReader::i64_sequence_bytes() {
    auto count = u64();
    if (!count) return unexpected(std::move(count).error());
    // Element by element reading would run out at the same place: the end of the input.
    if (*count > remaining() / sizeof(std::int64_t)) return unexpected(end_of_file());
    const auto size = static_cast<std::size_t>(*count) * sizeof(std::int64_t);
    std::span<const std::uint8_t> view = bytes_.subspan(offset_, size);
    offset_ += size;
    return view;
}

Result<std::vector<std::int64_t>, DecodeError> RecordReader::i64_sequence() {
    auto count = u64();
    if (!count) return unexpected(std::move(count).error());
    std::vector<std::int64_t> values;
    values.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>({*count, kShapeReserveLimit, remaining() / sizeof(std::int64_t)})));
    for (std::uint64_t i = 0; i < *count; ++i) {
        auto value = i64();
        if (!value) return unexpected(std::move(value).error());
        values.push_back(*value);
    }
    return values;
}

}  // namespace zelto::engine_api
