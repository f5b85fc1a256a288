// The options a part of zelto-mock-engine declares: each server part lists the options it reads,
// so that the command line is checked against them (an unknown or misspelt option is refused
// instead of silently testing nothing) and --help lists every one of them.
#pragma once

#include <span>
#include <string_view>

namespace zelto::engine {

enum class OptionValue {
    None,    // a flag: "--verbose"
    Text,    // "--error TEXT"
    Number,  // "--delay-ms N": decimal, or hexadecimal with 0x
};

struct OptionSpec {
    std::string_view name;  // without the leading "--"
    OptionValue value;
    std::string_view placeholder;  // shown in --help after the name, e.g. "PATH"; empty for flags
    std::string_view help;         // lines separated by '\n'
};

// The options of one part, under the title --help shows above them.
struct OptionGroup {
    std::string_view title;
    std::span<const OptionSpec> options;
};

}  // namespace zelto::engine
