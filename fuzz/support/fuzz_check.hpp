// Property checks inside fuzz targets. A sanitizer only sees memory and undefined-behaviour
// errors; a decoder that returns the wrong bytes or a wrong error text is just as much a bug, so
// targets state what must hold and abort when it does not. libFuzzer treats the abort as a crash
// and keeps the input.
#pragma once

#include <string>

namespace zelto::fuzz {

// Prints the failed property with its context to stderr, then aborts.
[[noreturn]] void property_failed(const char* file, int line, const char* condition,
                                  const std::string& context);

}  // namespace zelto::fuzz

// `context` is only built when the check fails, so it may be costly to compute.
#define FUZZ_CHECK(condition, context)                                                 \
    do {                                                                               \
        if (!(condition))                                                              \
            ::zelto::fuzz::property_failed(__FILE__, __LINE__, #condition, (context)); \
    } while (0)
