#include "support/fuzz_check.hpp"

#include <cstdio>
#include <cstdlib>

namespace zelto::fuzz {

void property_failed(const char* file, int line, const char* condition,
                     const std::string& context) {
    std::fprintf(stderr, "\n%s:%d: property violated: %s\n  %s\n", file, line, condition,
                 context.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace zelto::fuzz
