#include "engine_api/base64.hpp"

#include <array>

namespace zelto::engine_api {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;
constexpr unsigned char kPad = '=';

constexpr std::array<std::uint8_t, 256> make_decode_table() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}
constexpr auto kDecode = make_decode_table();

std::string invalid_symbol(unsigned char byte, std::size_t index) {
    return "Invalid symbol " + std::to_string(byte) + ", offset " + std::to_string(index) + ".";
}

}  // namespace

Result<std::vector<std::uint8_t>, std::string> base64_decode(std::string_view text) {
    const std::size_t n = text.size();
    if (n == 0) return std::vector<std::uint8_t>{};
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };

    // The final group (the last one to four characters) is the only place padding may appear.
    const std::size_t remainder = n % 4;
    const std::size_t final_start = remainder == 0 ? n - 4 : n - remainder;
    for (std::size_t i = 0; i < final_start; ++i) {
        if (kDecode[at(i)] == kInvalid) return unexpected(invalid_symbol(at(i), i));
    }

    std::array<std::uint8_t, 4> morsels{};
    std::size_t symbols = 0;
    std::size_t padding = 0;
    std::size_t first_pad = 0;
    unsigned char last_symbol = 0;
    for (std::size_t i = final_start; i < n; ++i) {
        const unsigned char byte = at(i);
        if (byte == kPad) {
            if (i - final_start < 2) return unexpected(invalid_symbol(byte, i));
            if (padding++ == 0) first_pad = i;
            continue;
        }
        // Anything after padding is reported as the padding that it follows.
        if (padding > 0) return unexpected(invalid_symbol(kPad, first_pad));
        if (kDecode[byte] == kInvalid) return unexpected(invalid_symbol(byte, i));
        morsels[symbols++] = kDecode[byte];
        last_symbol = byte;
    }
    if (symbols < 2)
        return unexpected("Invalid input length: " + std::to_string(final_start + symbols));
    if ((symbols + padding) % 4 != 0) return unexpected(std::string("Invalid padding"));
    // Two symbols carry 12 bits for one byte, three carry 18 for two: the spare bits must be 0,
    // otherwise two different texts would decode to the same bytes.
    const std::uint8_t spare_bits = symbols == 2 ? 0x0F : symbols == 3 ? 0x03 : 0x00;
    if ((morsels[symbols - 1] & spare_bits) != 0) {
        return unexpected("Invalid last symbol " + std::to_string(last_symbol) + ", offset " +
                          std::to_string(final_start + symbols - 1) + ".");
    }

    std::vector<std::uint8_t> out;
    out.reserve(final_start / 4 * 3 + symbols - 1);
    for (std::size_t i = 0; i < final_start; i += 4) {
        const std::uint32_t word = (std::uint32_t{kDecode[at(i)]} << 18) |
                                   (std::uint32_t{kDecode[at(i + 1)]} << 12) |
                                   (std::uint32_t{kDecode[at(i + 2)]} << 6) | kDecode[at(i + 3)];
        out.push_back(static_cast<std::uint8_t>(word >> 16));
        out.push_back(static_cast<std::uint8_t>(word >> 8));
        out.push_back(static_cast<std::uint8_t>(word));
    }
    const std::uint32_t word = (std::uint32_t{morsels[0]} << 18) |
                               (std::uint32_t{morsels[1]} << 12) |
                               (std::uint32_t{morsels[2]} << 6) | morsels[3];
    for (std::size_t k = 0; k + 1 < symbols; ++k) {
        out.push_back(static_cast<std::uint8_t>(word >> (16 - 8 * k)));
    }
    return out;
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t word =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out.push_back(kAlphabet[(word >> shift) & 0x3F]);
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        std::uint32_t word = std::uint32_t{bytes[i]} << 16;
        if (left == 2) word |= std::uint32_t{bytes[i + 1]} << 8;
        out.push_back(kAlphabet[(word >> 18) & 0x3F]);
        out.push_back(kAlphabet[(word >> 12) & 0x3F]);
        out.push_back(left == 2 ? kAlphabet[(word >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

}  // namespace zelto::engine_api
