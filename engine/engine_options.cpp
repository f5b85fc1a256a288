#include "engine_options.hpp"

#include <cstdlib>

namespace zelto::engine {

std::optional<EngineOptions> EngineOptions::parse(int argc, char** argv, std::string& error) {
    EngineOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
            error = "unexpected argument '" + arg + "'";
            return std::nullopt;
        }
        std::string name = arg.substr(2);
        std::string value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        } else if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) {
            value = argv[++i];
        }
        options.values_[name] = value;
    }
    return options;
}

std::string EngineOptions::text(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

std::uint64_t EngineOptions::number(const std::string& name, std::uint64_t fallback) const {
    auto it = values_.find(name);
    if (it == values_.end() || it->second.empty()) return fallback;
    return std::strtoull(it->second.c_str(), nullptr, 0);
}

}  // namespace zelto::engine
