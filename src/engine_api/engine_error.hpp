// The engine API's error vocabulary. Its display texts are what users read.
#pragma once

#include <memory>
#include <string>

namespace zelto::engine_api {

// Any error with a text, kept as the optional source of an EngineError.
struct SourceError {
    virtual ~SourceError() = default;
    virtual std::string text() const = 0;
};

struct EngineError {
    // Numbered as in memory, 0 to 8.
    enum class Kind {
        Backend,
        InvalidInput,
        ModelNotLoaded,
        Overloaded,
        ModelLoad,
        Inference,
        Timeout,
        ResourceExhausted,
        Cancelled,
    };

    Kind kind = Kind::Backend;
    std::string message;  // the model name for ModelLoad; empty for ModelNotLoaded
    std::shared_ptr<const SourceError> source;  // always set for ModelLoad, optional otherwise

    static EngineError invalid_input(std::string message) {
        return {Kind::InvalidInput, std::move(message), nullptr};
    }

    // "Backend error: m", "Invalid input: m", "Model not loaded", "System overloaded: m",
    // "Model load error for <model>: <source text>", "Inference error: m", "Timeout: m",
    // "Resource exhausted: m", "Cancelled: m".
    std::string display() const;
};

}  // namespace zelto::engine_api
