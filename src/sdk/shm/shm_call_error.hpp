// The error of a ZeltoShmClient call.
#pragma once

#include <string>

namespace zelto::sdk {

struct ShmCallError {
    enum class Kind {
        InvalidArgument,  // an unrecognised dtype, or more dimensions than a tensor block holds
        Runtime,          // the engine's error text, a refused answer, a full or broken ring
        Timeout,          // no answer within the poll limit
        Interrupted,      // the between-polls hook failed; its (Python) exception is pending
    };
    Kind kind = Kind::Runtime;
    std::string message;
};

}  // namespace zelto::sdk
