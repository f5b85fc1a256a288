// A non-owning reference to something callable, for callbacks that run before the callee
// returns: no allocation, no copy of the callable.
#pragma once

#include <type_traits>
#include <utility>

namespace zelto::sdk {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
  public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& callable)  // implicit, like a function pointer
        : object_(const_cast<void*>(static_cast<const void*>(&callable))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(
                  std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

  private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace zelto::sdk
