#include "json_writer.hpp"

#include <cstdio>

#include "common/utf8.hpp"

namespace zelto::inspect {

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_in_level_.empty()) {
        if (!first_in_level_.back()) out_ += ',';
        first_in_level_.back() = false;
    }
}

JsonWriter& JsonWriter::begin_object() {
    before_value();
    out_ += '{';
    first_in_level_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    first_in_level_.pop_back();
    out_ += '}';
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    before_value();
    out_ += '[';
    first_in_level_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    first_in_level_.pop_back();
    out_ += ']';
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    string(name);
    out_ += ':';
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
    before_value();
    out_ += '"';
    for (char c : utf8_lossy(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out_ += escaped;
        } else {
            out_ += c;
        }
    }
    out_ += '"';
    return *this;
}

JsonWriter& JsonWriter::number(std::uint64_t value) {
    before_value();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::number(std::int64_t value) {
    before_value();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    before_value();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    before_value();
    out_ += "null";
    return *this;
}

}  // namespace zelto::inspect
