// Just enough JSON for zelto-shm-inspect --json: objects, arrays, strings, numbers, booleans and
// null, written in order into one string; commas are placed by the writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelto::inspect {

class JsonWriter {
  public:
    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    JsonWriter& key(std::string_view name);
    JsonWriter& string(std::string_view text);  // invalid UTF-8 becomes U+FFFD
    JsonWriter& number(std::uint64_t value);
    JsonWriter& number(std::int64_t value);
    JsonWriter& boolean(bool value);
    JsonWriter& null();

    const std::string& text() const { return out_; }

  private:
    void before_value();

    std::string out_;
    std::vector<bool> first_in_level_;
    bool after_key_ = false;
};

}  // namespace zelto::inspect
