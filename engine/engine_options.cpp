#include "engine_options.hpp"

#include <cerrno>
#include <cstdlib>
#include <optional>

namespace zelto::engine {
namespace {

std::optional<OptionSpec> find_option(std::string_view name, std::span<const OptionGroup> groups) {
    for (const OptionGroup& group : groups) {
        for (const OptionSpec& spec : group.options) {
            if (spec.name == name) return spec;
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> parse_number(const std::string& text) {
    // strtoull accepts a sign and leading blanks, and wraps "-1" around; neither is a count.
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

}  // namespace

Result<EngineOptions, std::string> EngineOptions::parse(int argc, const char* const* argv,
                                                        std::span<const OptionGroup> groups) {
    EngineOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
            return unexpected("unexpected argument " + quoted(arg) + " (options start with --)");
        }
        std::string name = arg.substr(2);
        std::optional<std::string> value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const auto spec = find_option(name, groups);
        if (!spec) return unexpected("unknown option " + quoted("--" + name));
        if (spec->value == OptionValue::None) {
            if (value) return unexpected("option " + quoted("--" + name) + " takes no value");
        } else if (!value) {
            // A following option is not taken for the value: "--unix --tcp 1" misses a path.
            if (i + 1 >= argc || std::string_view(argv[i + 1]).rfind("--", 0) == 0) {
                return unexpected("option " + quoted("--" + name) + " needs a value (" +
                                  std::string(spec->placeholder) + ")");
            }
            value = argv[++i];
        }
        if (spec->value == OptionValue::Number && !parse_number(*value)) {
            return unexpected("option " + quoted("--" + name) + " needs a number, not " +
                              quoted(*value));
        }
        options.values_[name] = value.value_or("");
    }
    return options;
}

std::string EngineOptions::text(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

std::uint64_t EngineOptions::number(const std::string& name, std::uint64_t fallback) const {
    auto it = values_.find(name);
    if (it == values_.end()) return fallback;
    return parse_number(it->second).value_or(fallback);  // checked by parse
}

std::string options_help(std::string_view usage, std::span<const OptionGroup> groups) {
    constexpr std::size_t kHelpColumn = 30;
    constexpr std::size_t kWidth = 100;
    std::string out(usage);
    for (const OptionGroup& group : groups) {
        out += "\n" + std::string(group.title) + ":\n";
        for (const OptionSpec& spec : group.options) {
            std::string line = "  --" + std::string(spec.name);
            if (!spec.placeholder.empty()) line += " " + std::string(spec.placeholder);
            if (line.size() + 2 > kHelpColumn) {
                out += line + "\n";
                line.clear();
            }
            line.resize(kHelpColumn, ' ');
            // Words wrap at kWidth; a '\n' in the help starts a new line as well.
            bool line_has_words = false;
            std::size_t start = 0;
            while (start <= spec.help.size()) {
                std::size_t end = spec.help.find_first_of(" \n", start);
                if (end == std::string_view::npos) end = spec.help.size();
                const std::string_view word = spec.help.substr(start, end - start);
                if (line_has_words && line.size() + 1 + word.size() > kWidth) {
                    out += line + "\n";
                    line.assign(kHelpColumn, ' ');
                    line_has_words = false;
                }
                if (line_has_words) line += ' ';
                line += word;
                line_has_words = true;
                if (end < spec.help.size() && spec.help[end] == '\n') {
                    out += line + "\n";
                    line.assign(kHelpColumn, ' ');
                    line_has_words = false;
                }
                start = end + 1;
            }
            out += line + "\n";
        }
    }
    return out;
}

}  // namespace zelto::engine
