#include "common/utf8.hpp"

namespace zelto {
namespace {

int sequence_width(unsigned char first) {
    if (first < 0x80) return 1;
    if (first >= 0xC2 && first <= 0xDF) return 2;
    if (first >= 0xE0 && first <= 0xEF) return 3;
    if (first >= 0xF0 && first <= 0xF4) return 4;
    return 0;
}

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The second byte's range depends on the first (no overlongs, no surrogates, <= U+10FFFF).
bool valid_second(unsigned char first, unsigned char second) {
    switch (first) {
        case 0xE0:
            return second >= 0xA0 && second <= 0xBF;
        case 0xED:
            return second >= 0x80 && second <= 0x9F;
        case 0xF0:
            return second >= 0x90 && second <= 0xBF;
        case 0xF4:
            return second >= 0x80 && second <= 0x8F;
        default:
            return is_continuation(second);
    }
}

// Checks the sequence starting at `i`; returns its width, or fills `error` and returns 0.
std::size_t check_sequence(std::string_view bytes, std::size_t i, Utf8Error& error) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char first = at(i);
    const int width = sequence_width(first);
    error.valid_up_to = i;
    if (width == 1) return 1;
    if (width == 0) {
        error.error_len = 1;
        return 0;
    }
    for (int k = 1; k < width; ++k) {
        if (i + k >= bytes.size()) {
            error.error_len = 0;
            return 0;
        }
        const bool ok = k == 1 ? valid_second(first, at(i + 1)) : is_continuation(at(i + k));
        if (!ok) {
            error.error_len = static_cast<std::size_t>(k);
            return 0;
        }
    }
    return static_cast<std::size_t>(width);
}

}  // namespace

std::string Utf8Error::describe() const {
    if (error_len != 0) {
        return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
               std::to_string(valid_up_to);
    }
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> find_utf8_error(std::string_view bytes) {
    Utf8Error error;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t width = check_sequence(bytes, i, error);
        if (width == 0) return error;
        i += width;
    }
    return std::nullopt;
}

std::string utf8_lossy(std::string_view bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    std::size_t start = 0;  // start of the pending valid run
    Utf8Error error;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t width = check_sequence(bytes, i, error);
        if (width != 0) {
            i += width;
            continue;
        }
        text.append(bytes.substr(start, i - start));
        text.append(kReplacement);
        if (error.error_len == 0) return text;  // cut off at the end
        i += error.error_len;
        start = i;
    }
    text.append(bytes.substr(start));
    return text;
}

}  // namespace zelto
