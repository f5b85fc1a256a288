// Touching a shared region whose pages the system may not be able to provide.
//
// An engine makes its region with ftruncate, which allocates nothing: a page comes into being
// when it is first touched, and where the shared-memory file system has no room left (a 64 MiB
// /dev/shm is the default in containers) that first touch, a read as much as a write, raises
// SIGBUS. So does any touch beyond the end of a region that the engine shrank after the client
// mapped it. Unhandled, either kills the whole interpreter.
//
// `catch_region_faults` runs one access to a region with a SIGBUS handler armed for it: a fault
// on a page of that region, on this thread, ends the access and is returned as a value. Every
// other SIGBUS goes on as it would without us: to the handler the program had installed before
// the first access, or to the default action. The handler is installed once, at the first
// access; the per-access cost is a sigsetjmp without the signal mask and two thread-local
// stores (no system call).
//
// An access that a fault ends is abandoned where it stood, so it must be plain code: memory
// copies, loads, stores and atomics, no allocation, no lock, nothing with a destructor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

namespace zelto::shm {

// Where an access to a region faulted, from the region's first byte.
struct RegionFault {
    std::uint64_t offset = 0;
};

namespace detail {

using RegionAccess = void (*)(void* context);

std::optional<RegionFault> run_catching_region_faults(const std::uint8_t* region,
                                                      std::uint64_t size, RegionAccess access,
                                                      void* context) noexcept;

}  // namespace detail

// Runs `access()` (see the rules above) against the `size` bytes mapped at `region`; the fault
// that ended it, if one did.
template <class Access>
std::optional<RegionFault> catch_region_faults(const std::uint8_t* region, std::uint64_t size,
                                               Access&& access) noexcept {
    static_assert(std::is_nothrow_invocable_v<Access>, "a region access is plain code: noexcept");
    using Body = std::remove_reference_t<Access>;
    return detail::run_catching_region_faults(
        region, size, [](void* context) { (*static_cast<Body*>(context))(); },
        const_cast<void*>(static_cast<const void*>(&access)));
}

}  // namespace zelto::shm
