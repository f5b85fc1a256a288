// Binds the (args, kwargs) of a METH_VARARGS | METH_KEYWORDS method or of tp_new to the
// function's parameters, with the interpreter-style TypeError texts users already know:
//
//   "<f> takes from <r> to <p> positional arguments but <g> <was/were> given"
//   "<f> takes <p> positional arguments but <g> <was/were> given"
//   "<f> got an unexpected keyword argument '<k>'"
//   "<f> got multiple values for argument '<name>'"
//   "<f> missing <n> required positional argument(s): 'a', 'b', and 'c'"
//
// where <f> is the full name, e.g. "ZeltoClient.infer()". Binding only places objects; it
// converts nothing and runs no Python code, so arity errors always come before conversions.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "python/support/py_ref.hpp"
#include "python/support/py_result.hpp"

namespace zelto::python {

enum class ParamKind : unsigned char { PositionalOrKeyword, KeywordOnly };

struct Param {
    const char* name;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    bool required = false;
};

struct FunctionSignature {
    const char* full_name;  // "<Class>.<method>()"
    // All positional-or-keyword parameters first, then the keyword-only ones.
    std::span<const Param> params;
};

// One slot per parameter, in signature order. The arguments are held as owned references: a
// conversion may run Python code (__index__, __iter__) that mutates the kwargs dict the caller
// passed in, and must not leave us holding freed objects.
//
// Slots live in the object itself for up to kInlineSlots parameters (every method of the module),
// so binding a call allocates nothing; longer signatures spill to the heap.
class BoundArguments {
  public:
    static constexpr std::size_t kInlineSlots = 8;

    explicit BoundArguments(std::size_t count) : count_(count) {
        if (count_ > kInlineSlots) spilled_.resize(count_);
    }

    // The argument for parameter `index`, or nullptr when it was not given.
    PyObject* get(std::size_t index) const { return slot(index).get(); }
    bool given(std::size_t index) const { return static_cast<bool>(slot(index)); }

  private:
    friend PyResult<BoundArguments> bind_arguments(const FunctionSignature&, PyObject*, PyObject*);

    const OwnedRef& slot(std::size_t index) const {
        return count_ > kInlineSlots ? spilled_[index] : inline_[index];
    }
    OwnedRef& slot(std::size_t index) {
        return count_ > kInlineSlots ? spilled_[index] : inline_[index];
    }

    std::size_t count_;
    std::array<OwnedRef, kInlineSlots> inline_;
    std::vector<OwnedRef> spilled_;
};

// Places the arguments or raises the TypeError for the first arity problem: too many
// positional arguments, then each keyword in the order the caller passed them, then missing
// required parameters. `kwargs` may be nullptr.
PyResult<BoundArguments> bind_arguments(const FunctionSignature& signature, PyObject* args,
                                        PyObject* kwargs);

}  // namespace zelto::python
