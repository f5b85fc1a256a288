#include "python/binding/binder.hpp"

#include <string>

namespace zelto::python {
namespace {

std::size_t positional_count(const FunctionSignature& signature) {
    std::size_t count = 0;
    for (const Param& param : signature.params) {
        if (param.kind == ParamKind::PositionalOrKeyword) ++count;
    }
    return count;
}

std::size_t required_positional_count(const FunctionSignature& signature) {
    std::size_t count = 0;
    for (const Param& param : signature.params) {
        if (param.kind == ParamKind::PositionalOrKeyword && param.required) ++count;
    }
    return count;
}

PyErrorSet too_many_positional(const FunctionSignature& signature, Py_ssize_t given) {
    const std::size_t positional = positional_count(signature);
    const std::size_t required = required_positional_count(signature);
    const char* was = given == 1 ? "was" : "were";
    std::string message = signature.full_name;
    if (required != positional) {
        message += " takes from " + std::to_string(required) + " to " + std::to_string(positional);
    } else {
        message += " takes " + std::to_string(positional);
    }
    message += " positional arguments but " + std::to_string(given) + " " + was + " given";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return {};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) text += ',';
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

PyErrorSet missing(const FunctionSignature& signature, const char* what,
                   const std::vector<const char*>& names) {
    std::string message = std::string(signature.full_name) + " missing " +
                          std::to_string(names.size()) + " required " + what + " argument" +
                          (names.size() == 1 ? "" : "s") + ": " + quoted_list(names);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return {};
}

}  // namespace

PyResult<BoundArguments> bind_arguments(const FunctionSignature& signature, PyObject* args,
                                        PyObject* kwargs) {
    BoundArguments bound(signature.params.size());
    const std::size_t positional = positional_count(signature);

    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) return py_error();
    if (static_cast<std::size_t>(given) > positional) {
        too_many_positional(signature, given);
        return py_error();
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        bound.slot(static_cast<std::size_t>(i)) = OwnedRef::new_ref(PyTuple_GetItem(args, i));
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            std::size_t match = signature.params.size();
            // CPython refuses non-str keyword names, but a C caller may not; such a key names
            // no parameter. Comparing without encoding also copes with lone surrogates.
            for (std::size_t i = 0; i < signature.params.size() && PyUnicode_Check(key); ++i) {
                if (PyUnicode_CompareWithASCIIString(key, signature.params[i].name) == 0) {
                    match = i;
                    break;
                }
            }
            if (match == signature.params.size()) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                             signature.full_name, key);
                return py_error();
            }
            if (bound.slot(match)) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             signature.full_name, signature.params[match].name);
                return py_error();
            }
            bound.slot(match) = OwnedRef::new_ref(value);
        }
    }

    std::vector<const char*> absent;
    // The first `given` slots hold the positional arguments.
    for (auto i = static_cast<std::size_t>(given); i < positional; ++i) {
        if (signature.params[i].required && !bound.slot(i)) {
            absent.push_back(signature.params[i].name);
        }
    }
    if (!absent.empty()) {
        missing(signature, "positional", absent);
        return py_error();
    }
    for (std::size_t i = positional; i < signature.params.size(); ++i) {
        if (signature.params[i].required && !bound.slot(i)) {
            absent.push_back(signature.params[i].name);
        }
    }
    if (!absent.empty()) {
        missing(signature, "keyword", absent);
        return py_error();
    }
    return bound;
}

}  // namespace zelto::python
