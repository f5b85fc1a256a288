// The command line of zelto-mock-engine, checked against the options the server parts declare
// (option_table.hpp): every "--name value" pair and every "--flag" lands in one map, and each part
// reads the keys it declares.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "common/result.hpp"
#include "option_table.hpp"

namespace zelto::engine {

class EngineOptions {
  public:
    // Parses argv against `groups`. A value is the next argument or follows '=' ("--error=--x"
    // for a value that starts with "--"). Fails with a sentence naming the offending argument:
    // an unknown option, a missing value, a value given to a flag, a number that is not one.
    static Result<EngineOptions, std::string> parse(int argc, const char* const* argv,
                                                    std::span<const OptionGroup> groups);

    bool has(const std::string& name) const { return values_.count(name) != 0; }
    std::string text(const std::string& name, const std::string& fallback = "") const;
    std::uint64_t number(const std::string& name, std::uint64_t fallback = 0) const;
    bool verbose() const { return has("verbose"); }

  private:
    std::map<std::string, std::string> values_;
};

// The --help text: `usage`, then each group's title and options, names aligned.
std::string options_help(std::string_view usage, std::span<const OptionGroup> groups);

}  // namespace zelto::engine
