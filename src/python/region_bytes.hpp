// The one copy of a result out of a shared region: into a new bytes object.
//
// From shm::kStreamingCopyThreshold (8 MiB) up the copy writes with streaming stores
// (shm/bulk_copy.hpp), as the copies into the region already do: a result that large does not
// stay in this processor's caches anyway, and a plain copy first reads every line of the new
// object's buffer. Measured with the client and the mock engine pinned to two vCPUs, echo calls
// with a notify descriptor: at 16 MiB - 80 B the call took 4.30 ms instead of 4.97-4.99 ms, and
// the call followed by one full read of the result (comparing it with the input) 5.96-5.99 ms
// instead of 6.25-6.30 ms; at 8 MiB the call 2.16 ms instead of 2.30 ms, the call and the read
// 2.98 ms against 2.89 ms. Smaller results are copied with memcpy and stay in the caches.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace zelto::python {

// A new reference, or nullptr with a Python exception set (MemoryError).
PyObject* bytes_from_region(const std::uint8_t* data, std::size_t size);

}  // namespace zelto::python
