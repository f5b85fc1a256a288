// The bytes object a ZeltoClient call or a stream item returns its tensor's data in. Large data
// is received straight into it (sdk::DataDestination), so it is made before the data arrives;
// otherwise it is made from the received tensor, by one copy.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "python/py_ref.hpp"

namespace zelto::python {

class ResultBytes {
  public:
    // The destination: a new bytes object of `size` bytes, or an empty span when there is no
    // memory for it (the tensor is then read the usual way, which reports that itself).
    std::span<std::uint8_t> make(std::size_t size);

    // A new reference to bytes holding `data`: the destination itself if `data` was received
    // into it, else a copy; nullptr with MemoryError set when the copy cannot be made.
    PyObject* take(std::span<const std::uint8_t> data);

  private:
    OwnedRef bytes_;
    std::span<std::uint8_t> destination_;  // bytes_'s buffer
};

}  // namespace zelto::python
