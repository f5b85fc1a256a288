#include "engine_api/unicode_lower.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine_api/unicode_case_tables.hpp"

namespace zelto::engine_api {
namespace {

using unicode_tables::CodeRange;
using unicode_tables::LowerRun;

// Values above U+10FFFF stand for a raw byte that did not decode, so it can be written back as is.
constexpr char32_t kRawByteBase = 0x110000;
constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;
constexpr char32_t kCapitalIWithDot = 0x0130;
constexpr char32_t kCombiningDotAbove = 0x0307;

bool in_ranges(std::span<const CodeRange> ranges, char32_t cp) {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), cp,
                               [](char32_t value, const CodeRange& r) { return value < r.first; });
    return it != ranges.begin() && cp <= std::prev(it)->last;
}

bool is_cased(char32_t cp) {
    return in_ranges({unicode_tables::kCasedRanges, unicode_tables::kCasedRangeCount}, cp);
}

bool is_case_ignorable(char32_t cp) {
    return in_ranges(
        {unicode_tables::kCaseIgnorableRanges, unicode_tables::kCaseIgnorableRangeCount}, cp);
}

char32_t simple_lower(char32_t cp) {
    std::span<const LowerRun> runs{unicode_tables::kLowerRuns, unicode_tables::kLowerRunCount};
    auto it = std::upper_bound(runs.begin(), runs.end(), cp,
                               [](char32_t value, const LowerRun& r) { return value < r.first; });
    if (it == runs.begin()) return cp;
    const LowerRun& run = *std::prev(it);
    if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
    return static_cast<char32_t>(static_cast<std::int64_t>(cp) + run.delta);
}

std::vector<char32_t> decode(std::string_view text) {
    std::vector<char32_t> out;
    out.reserve(text.size());
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char first = byte(i);
        std::size_t width = first < 0x80 ? 1 : first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
        char32_t cp = width == 1   ? first
                      : width == 2 ? first & 0x1F
                      : width == 3 ? first & 0x0F
                                   : first & 0x07;
        bool ok = first < 0x80 || (first >= 0xC2 && first <= 0xF4);
        for (std::size_t k = 1; ok && k < width; ++k) {
            ok = i + k < text.size() && (byte(i + k) & 0xC0) == 0x80;
            if (ok) cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not text either.
        static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && cp >= kMinimum[width] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (!ok) {
            out.push_back(kRawByteBase + first);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += width;
    }
    return out;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp >= kRawByteBase) {
        out.push_back(static_cast<char>(cp - kRawByteBase));
    } else if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Capital sigma ends a word when a cased letter precedes it and none follows, looking past
// case-ignorable characters (apostrophes, combining marks) on both sides.
bool ends_word(const std::vector<char32_t>& cps, std::size_t at) {
    std::size_t j = at;
    while (j > 0 && is_case_ignorable(cps[j - 1])) --j;
    if (j == 0 || !is_cased(cps[j - 1])) return false;
    std::size_t k = at + 1;
    while (k < cps.size() && is_case_ignorable(cps[k])) ++k;
    return k == cps.size() || !is_cased(cps[k]);
}

}  // namespace

std::string unicode_lower(std::string_view text) {
    const std::vector<char32_t> cps = decode(text);
    std::string out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < cps.size(); ++i) {
        const char32_t cp = cps[i];
        if (cp == kCapitalIWithDot) {
            append_utf8(out, U'i');
            append_utf8(out, kCombiningDotAbove);
        } else if (cp == kCapitalSigma) {
            append_utf8(out, ends_word(cps, i) ? kFinalSigma : kSmallSigma);
        } else if (cp >= kRawByteBase) {
            append_utf8(out, cp);
        } else {
            append_utf8(out, simple_lower(cp));
        }
    }
    return out;
}

}  // namespace zelto::engine_api
