// Generated lower-casing tables (see unicode_case_tables.cpp for how they were produced).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelto::engine_api::unicode_tables {

// Code points first, first + stride, ... up to last map to themselves plus `delta`.
struct LowerRun {
    char32_t first;
    char32_t last;
    std::int32_t delta;
    std::uint8_t stride;
};

// An inclusive code point range.
struct CodeRange {
    char32_t first;
    char32_t last;
};

extern const LowerRun kLowerRuns[];
extern const std::size_t kLowerRunCount;
extern const CodeRange kCasedRanges[];
extern const std::size_t kCasedRangeCount;
extern const CodeRange kCaseIgnorableRanges[];
extern const std::size_t kCaseIgnorableRangeCount;

}  // namespace zelto::engine_api::unicode_tables
