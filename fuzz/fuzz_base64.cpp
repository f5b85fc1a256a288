// Strict base64: the decoder accepts exactly the canonical padded spelling of some byte string
// and names the first offending byte of everything else.
//
// Properties, for any input:
//   - text that decodes re-encodes to itself (one spelling per byte string);
//   - the input taken as bytes encodes to text that decodes back to those bytes;
//   - a failure is one of the four texts, and the byte and offset it names are really there.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine_api/base64.hpp"
#include "support/fuzz_check.hpp"

namespace {

using zelto::engine_api::base64_decode;
using zelto::engine_api::base64_encode;

// Parses "<prefix><number><suffix>" where the number is plain decimal; false on anything else.
bool parse_number(std::string_view text, std::string_view prefix, std::string_view suffix,
                  std::size_t& number, std::string_view& rest) {
    if (!text.starts_with(prefix)) return false;
    text.remove_prefix(prefix.size());
    std::size_t digits = 0;
    number = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 19) {
        number = number * 10 + static_cast<std::size_t>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0 || (digits > 1 && text[0] == '0')) return false;
    text.remove_prefix(digits);
    if (!text.starts_with(suffix)) return false;
    rest = text.substr(suffix.size());
    return true;
}

// "<prefix>{byte}, offset {index}." naming a byte that really is at that index.
bool names_byte_at(std::string_view message, std::string_view prefix, std::string_view text) {
    std::size_t byte = 0;
    std::size_t index = 0;
    std::string_view rest;
    if (!parse_number(message, prefix, ", offset ", byte, rest)) return false;
    if (!parse_number(rest, "", ".", index, rest) || !rest.empty()) return false;
    return index < text.size() && static_cast<unsigned char>(text[index]) == byte;
}

void check_failure_text(const std::string& message, std::string_view text) {
    if (message == "Invalid padding") {
        // Padding completes the final group to four characters, so only a ragged length lacks it.
        FUZZ_CHECK(text.size() % 4 != 0, message);
        return;
    }
    std::size_t length = 0;
    std::string_view rest;
    if (parse_number(message, "Invalid input length: ", "", length, rest) && rest.empty()) {
        // Only a final group of one symbol: the length counts up to and including it.
        FUZZ_CHECK(length == text.size() && length % 4 == 1, message);
        return;
    }
    FUZZ_CHECK(names_byte_at(message, "Invalid symbol ", text) ||
                   names_byte_at(message, "Invalid last symbol ", text),
               "unexpected failure text: " + message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    auto decoded = base64_decode(text);
    if (decoded) {
        FUZZ_CHECK(base64_encode(*decoded) == text, "accepted a non-canonical spelling of " +
                                                        std::to_string(decoded->size()) + " bytes");
        FUZZ_CHECK(decoded->size() == size / 4 * 3 - (size > 0 && text[size - 1] == '=') -
                                          (size > 1 && text[size - 2] == '='),
                   "decoded length does not follow from the text length");
    } else {
        check_failure_text(decoded.error(), text);
    }

    // The other direction: every byte string has a canonical spelling that the decoder accepts.
    const std::string encoded = base64_encode({data, size});
    FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4, "encoded length");
    auto round_trip = base64_decode(encoded);
    FUZZ_CHECK(round_trip.has_value(), "canonical text refused: " + round_trip.error());
    FUZZ_CHECK(std::equal(round_trip->begin(), round_trip->end(), data, data + size) &&
                   round_trip->size() == size,
               "round trip changed the bytes");
    return 0;
}
