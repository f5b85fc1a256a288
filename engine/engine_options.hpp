// Command-line options of zelto-mock-engine: every "--name value" pair and every bare "--flag"
// lands in one map; each server part reads the keys it documents.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace zelto::engine {

class EngineOptions {
public:
    // Parses argv; on a malformed command line returns nullopt and fills `error`.
    static std::optional<EngineOptions> parse(int argc, char** argv, std::string& error);

    bool has(const std::string& name) const { return values_.count(name) != 0; }
    std::string text(const std::string& name, const std::string& fallback = "") const;
    std::uint64_t number(const std::string& name, std::uint64_t fallback = 0) const;
    bool verbose() const { return has("verbose"); }

private:
    std::map<std::string, std::string> values_;
};

}  // namespace zelto::engine
