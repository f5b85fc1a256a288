#include "support/allocation_watch.hpp"

#include <sanitizer/allocator_interface.h>

#include <cstdlib>

namespace zelto::fuzz {
namespace {

// Plain thread-locals: the hook runs inside the allocator and must not allocate itself. Only the
// watching thread's own requests count; other threads (libFuzzer's, event-loop workers) are
// ignored.
thread_local bool t_watching = false;
thread_local std::size_t t_largest = 0;

void on_malloc(const volatile void*, std::size_t size) {
    if (t_watching && size > t_largest) t_largest = size;
}
void on_free(const volatile void*) {}

bool install_hooks() {
    // The runtime keeps a handful of hook slots; libFuzzer takes one for -malloc_limit_mb.
    if (__sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) == 0) std::abort();
    return true;
}

}  // namespace

AllocationWatch::AllocationWatch() {
    static const bool installed = install_hooks();
    (void)installed;
    t_largest = 0;
    t_watching = true;
}

AllocationWatch::~AllocationWatch() {
    t_watching = false;
}

std::size_t AllocationWatch::largest() const {
    return t_largest;
}

}  // namespace zelto::fuzz
