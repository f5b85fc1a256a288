// Full Unicode lower-casing of UTF-8 text: every code point's lower-case mapping, U+0130 to
// "i" + U+0307, and capital sigma to final sigma at the end of a word. Users type dtype names in
// any case and script, and the error text must show exactly what was compared.
#pragma once

#include <string>
#include <string_view>

namespace zelto::engine_api {

// Bytes that are not valid UTF-8 are copied through unchanged.
std::string unicode_lower(std::string_view text);

}  // namespace zelto::engine_api
