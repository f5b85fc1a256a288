// Binds an object to the thread that created it, for objects whose native state must not move
// between threads (StreamIterator). Store a ThreadBinding in the instance state at creation
// and check it at the top of every slot.
#pragma once

#include <Python.h>

#include <thread>

namespace zelto::python {

class ThreadBinding {
  public:
    ThreadBinding() : owner_(std::this_thread::get_id()) {}

    bool on_owner_thread() const { return std::this_thread::get_id() == owner_; }

    // True on the creating thread. Elsewhere raises the panic exception
    // "<type_name> is unsendable, but sent to another thread" and returns false.
    bool check(const char* type_name) const;

    // For tp_dealloc. True on the creating thread. Elsewhere reports RuntimeError
    // "<type_name> is unsendable, but is being dropped on another thread" through
    // sys.unraisablehook (keeping any pending exception) and returns false. Whether the native
    // state is still destroyed then is the caller's to decide (StreamIterator's is: see
    // stream_iterator_dealloc).
    bool check_drop(const char* type_name) const;

  private:
    std::thread::id owner_;
};

}  // namespace zelto::python
