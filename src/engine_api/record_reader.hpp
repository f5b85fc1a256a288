// Reads the engine wire encoding (little-endian fixed-width integers, uint64 length prefixes,
// one-byte optional tags) from a complete in-memory record. Every count and length is the
// peer's word, so each is checked against the bytes actually present before anything is
// allocated or copied; a failure carries the text users see.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace zelto::engine_api {

struct DecodeError {
    std::string message;
};

class RecordReader {
  public:
    explicit RecordReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    Result<std::uint8_t, DecodeError> u8();
    Result<std::uint32_t, DecodeError> u32();
    Result<std::uint64_t, DecodeError> u64();
    Result<std::int32_t, DecodeError> i32();
    Result<std::int64_t, DecodeError> i64();
    Result<float, DecodeError> f32();
    Result<bool, DecodeError> boolean();

    // The tag of an optional value: false = absent, true = present;
    // "tag for enum is not valid, found N" for any other byte.
    Result<bool, DecodeError> tag();

    // uint64 length + UTF-8 bytes. A length beyond the input: "io error: ";
    // bad UTF-8: "string is not valid utf8: <detail>".
    Result<std::string, DecodeError> string();
    // The same, as a view into the input (no copy).
    Result<std::string_view, DecodeError> string_view();

    // uint64 length + bytes. A length beyond the input: "io error: unexpected end of file".
    Result<std::vector<std::uint8_t>, DecodeError> byte_string();
    // The same, as a view into the input (no copy).
    Result<std::span<const std::uint8_t>, DecodeError> byte_view();

    // uint64 count + count int64 values.
    Result<std::vector<std::int64_t>, DecodeError> i64_sequence();
    // The same values left where they are: the count and the view of their 8 * count
    // little-endian bytes (any alignment). Fails like i64_sequence when they are not all there.
    Result<std::span<const std::uint8_t>, DecodeError> i64_sequence_bytes();

    std::size_t remaining() const { return bytes_.size() - offset_; }
    std::size_t offset() const { return offset_; }

    static DecodeError end_of_file();

  private:
    template <class T>
    Result<T, DecodeError> fixed();

    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

}  // namespace zelto::engine_api
