// The bytes object a ZeltoClient call or a stream item returns its tensor's data in. Large data
// is received straight into it (sdk::DataDestination), so it is made before the data arrives;
// otherwise it is made from the received tensor, by one copy.
//
// The one copy of a result into the bytes object returned to the caller, out of a connection's
// receive buffer (ZeltoClient's replies and stream items whose data is below 1 MiB or sent as
// base64 text; larger raw data is received straight into the bytes object, see
// sdk/socket/packet_receive.hpp). The shared-memory clients copy out of their region themselves,
// the same way (sdk/shm/shm_client.hpp, sdk/hybrid/hybrid_client.hpp), because a region's pages may
// fault.
//
// From shm::kStreamingCopyThreshold (8 MiB) up the copy writes with streaming stores
// (shm/bulk_copy.hpp), as the copies into a region already do: a result that large does not
// stay in this processor's caches anyway, and a plain copy first reads every line of the new
// object's buffer (bench: bench/run.sh --only zelto-shm-notify --sizes 8388608,16777136 --no-soak).
// Smaller results are copied with memcpy and stay in the caches.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "python/support/py_ref.hpp"

namespace zelto::python {

// A new bytes object holding a copy of `size` bytes at `data`: a new reference, or nullptr with a
// Python exception set (MemoryError).
PyObject* new_bytes_copy(const std::uint8_t* data, std::size_t size);

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
