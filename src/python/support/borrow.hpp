// The per-instance borrow flag. Methods that only read an object take a shared borrow, methods
// that change it take an exclusive one; a conflicting call is refused with RuntimeError rather
// than racing. The flag is atomic because a borrow can be held while the GIL is released
// (ZeltoShmClient.infer waits without it), so other threads test it concurrently.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

namespace zelto::python {

class BorrowFlag {
  public:
    bool try_acquire_shared() noexcept {
        std::intptr_t current = state_.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) return false;
        } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    bool try_acquire_exclusive() noexcept {
        std::intptr_t expected = kFree;
        return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { state_.store(kFree, std::memory_order_release); }

  private:
    static constexpr std::intptr_t kFree = 0;
    static constexpr std::intptr_t kExclusive = -1;  // otherwise: the number of shared borrows
    std::atomic<std::intptr_t> state_{kFree};
};

// Held for the duration of a reading method.
class SharedBorrow {
  public:
    // The borrow, or nothing with RuntimeError "Already mutably borrowed" raised.
    static std::optional<SharedBorrow> acquire(BorrowFlag& flag) {
        if (!flag.try_acquire_shared()) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return std::nullopt;
        }
        return SharedBorrow(&flag);
    }
    SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (flag_) flag_->release_shared();
    }

  private:
    explicit SharedBorrow(BorrowFlag* flag) : flag_(flag) {}
    BorrowFlag* flag_;
};

// Held for the duration of a changing method.
class ExclusiveBorrow {
  public:
    // The borrow, or nothing with RuntimeError "Already borrowed" raised.
    static std::optional<ExclusiveBorrow> acquire(BorrowFlag& flag) {
        if (!flag.try_acquire_exclusive()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return std::nullopt;
        }
        return ExclusiveBorrow(&flag);
    }
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept
        : flag_(std::exchange(other.flag_, nullptr)) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (flag_) flag_->release_exclusive();
    }

  private:
    explicit ExclusiveBorrow(BorrowFlag* flag) : flag_(flag) {}
    BorrowFlag* flag_;
};

}  // namespace zelto::python
