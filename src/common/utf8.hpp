// Strict UTF-8 validation with the error position, and lossy decoding in which every maximal
// invalid subsequence becomes U+FFFD. Engine texts are never trusted to be valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelto {

struct Utf8Error {
    std::size_t valid_up_to = 0;  // length of the valid prefix
    std::size_t error_len = 0;    // length of the bad sequence; 0 when cut off at the end

    // "invalid utf-8 sequence of N bytes from index I" or
    // "incomplete utf-8 byte sequence from index I".
    std::string describe() const;
};

// First UTF-8 error in `bytes`, or nothing if the whole text is valid.
std::optional<Utf8Error> find_utf8_error(std::string_view bytes);

// Decodes `bytes` as UTF-8, replacing each invalid sequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);
inline std::string utf8_lossy(const std::uint8_t* data, std::size_t size) {
    return utf8_lossy(std::string_view(reinterpret_cast<const char*>(data), size));
}

}  // namespace zelto
