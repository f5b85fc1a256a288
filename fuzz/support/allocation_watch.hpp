// Measures the largest single heap block the calling thread requests while a watch is open.
//
// Every length and count in a reply comes from the peer. Decoders must size their buffers by the
// bytes that really arrived, not by what a header announces; a fuzz target opens a watch around
// the call and checks the largest request against the input size. The numbers come from the
// sanitizer allocator's hooks, so the watch only works in sanitized builds (all fuzz builds are).
#pragma once

#include <cstddef>

namespace zelto::fuzz {

class AllocationWatch {
  public:
    AllocationWatch();
    ~AllocationWatch();
    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;

    // Bytes of the largest malloc/new/realloc request since the watch was opened.
    std::size_t largest() const;
};

}  // namespace zelto::fuzz
