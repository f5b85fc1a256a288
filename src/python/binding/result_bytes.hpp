// The bytes object a ZeltoClient call or a stream item returns its tensor's data in. Large data
// is received straight into it (sdk::DataDestination), so it is made before the data arrives;
// otherwise it is made from the received tensor, by one copy.
//
// The one copy of a result into the bytes object returned to the caller, out of a connection's
// receive buffer (ZeltoClient's replies and stream items whose data is below 1 MiB or sent as
// base64 text; larger raw data is received straight into the bytes object, see
// sdk/socket/packet_receive.hpp). The shared-memory clients copy out of their region themselves, the
// same way (sdk/shm/shm_client.hpp, sdk/hybrid/hybrid_client.hpp), because a region's pages may fault.
//
// From shm::kStreamingCopyThreshold (8 MiB) up the copy writes with streaming stores
// (shm/bulk_copy.hpp), as the copies into a region already do: a result that large does not
// stay in this processor's caches anyway, and a plain copy first reads every line of the new
// object's buffer. Measured with the client and the mock engine pinned to two vCPUs, 16 MiB - 80 B
// echo calls:
// - shm client with a notify descriptor: 4.30 ms a call instead of 4.97-4.99 ms; the call
//   followed by one full read of the result (comparing it with the input) 5.96-5.99 ms instead
//   of 6.25-6.30 ms. At 8 MiB the call 2.16 ms instead of 2.30 ms, with the read 2.98 ms
//   against 2.89 ms.
// - ZeltoClient, when its replies still went through this copy: over unix 9.26-9.55 ms a call
//   instead of 9.85-10.18 ms (with the read 11.03-11.25 against 11.12-11.48 ms), over tcp
//   13.08-13.53 ms instead of 13.96-14.86 ms (with the read 14.80-15.33 against 15.24-16.26 ms).
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
