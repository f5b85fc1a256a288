# Emits src/engine_api/unicode_case_tables.cpp from the running CPython's str.lower().
import sys, unicodedata

def is_surrogate(cp): return 0xD800 <= cp <= 0xDFFF

def ranges_of(pred):
    out, start = [], None
    for cp in range(0x110000):
        ok = pred(cp)
        if ok and start is None: start = cp
        if not ok and start is not None: out.append((start, cp - 1)); start = None
    if start is not None: out.append((start, 0x10FFFF))
    return out

def cased(cp):
    c = chr(cp)
    return c.islower() or c.isupper() or c.istitle()

def ignorable(cp):
    # Derived from the final-sigma rule: a case-ignorable character is skipped when lower()
    # looks back from a capital sigma for a cased letter.
    c = chr(cp)
    if cased(cp):
        return ("1" + c + "\u03a3").lower()[-1] == "\u03c3"
    return ("A" + c + "\u03a3").lower()[-1] == "\u03c2"

maps = []
for cp in range(0x110000):
    if is_surrogate(cp): continue
    low = chr(cp).lower()
    if low != chr(cp):
        if len(low) == 1: maps.append((cp, ord(low) - cp))
        else: assert cp == 0x130 and low == "i\u0307", (hex(cp), low)

runs = []
for cp, d in maps:
    if runs:
        f, l, dd, s = runs[-1]
        step = cp - l
        if dd == d and step in (1, 2) and (s == 0 or s == step):
            runs[-1] = (f, cp, d, step); continue
    runs.append((cp, cp, d, 0))

cased_r = ranges_of(lambda cp: not is_surrogate(cp) and cased(cp))
ign_r = ranges_of(lambda cp: not is_surrogate(cp) and ignorable(cp))

def rows(items, fmt, per):
    out = []
    for i in range(0, len(items), per):
        out.append("    " + " ".join(fmt(x) for x in items[i:i + per]))
    return "\n".join(out)

print(f"""// GENERATED FILE - do not edit by hand.
//
// Lower-casing tables, Unicode {unicodedata.unidata_version}, produced with CPython {sys.version.split()[0]} by taking, for
// every code point except the surrogates:
//   - the lower-case mapping: chr(cp).lower() where it differs from chr(cp) and is a single code
//     point (the only multi-code-point result, U+0130, is handled in unicode_lower.cpp);
//   - Cased: chr(cp).islower() or chr(cp).isupper() or chr(cp).istitle();
//   - Case_Ignorable, read back from the final-sigma rule of str.lower(): a non-cased c is
//     ignorable when ("A" + c + "\\u03a3").lower() ends in final sigma U+03C2; a cased c is
//     ignorable when ("1" + c + "\\u03a3").lower() ends in U+03C3.
// Runs of equal delta with a step of 1 or 2 are merged; ranges are inclusive and sorted.
#include "engine_api/unicode_case_tables.hpp"

namespace zelto::engine_api::unicode_tables {{

// clang-format off
const LowerRun kLowerRuns[] = {{
{rows(runs, lambda r: "{0x%X, 0x%X, %d, %d}," % (r[0], r[1], r[2], max(r[3], 1)), 3)}
}};
const std::size_t kLowerRunCount = sizeof kLowerRuns / sizeof kLowerRuns[0];

const CodeRange kCasedRanges[] = {{
{rows(cased_r, lambda r: "{0x%X, 0x%X}," % r, 5)}
}};
const std::size_t kCasedRangeCount = sizeof kCasedRanges / sizeof kCasedRanges[0];

const CodeRange kCaseIgnorableRanges[] = {{
{rows(ign_r, lambda r: "{0x%X, 0x%X}," % r, 5)}
}};
const std::size_t kCaseIgnorableRangeCount = sizeof kCaseIgnorableRanges / sizeof kCaseIgnorableRanges[0];
// clang-format on

}}  // namespace zelto::engine_api::unicode_tables""")
