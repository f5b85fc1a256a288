#include "engine_api/engine_error.hpp"

namespace zelto::engine_api {

std::string EngineError::display() const {
    switch (kind) {
        case Kind::Backend:
            return "Backend error: " + message;
        case Kind::InvalidInput:
            return "Invalid input: " + message;
        case Kind::ModelNotLoaded:
            return "Model not loaded";
        case Kind::Overloaded:
            return "System overloaded: " + message;
        case Kind::ModelLoad:
            // The only variant whose text shows its source; a missing source (a construction
            // fault, not an engine text) still renders rather than crashing.
            return "Model load error for " + message + ": " + (source ? source->text() : "");
        case Kind::Inference:
            return "Inference error: " + message;
        case Kind::Timeout:
            return "Timeout: " + message;
        case Kind::ResourceExhausted:
            return "Resource exhausted: " + message;
        case Kind::Cancelled:
            return "Cancelled: " + message;
    }
    return message;
}

}  // namespace zelto::engine_api
