#include "common/io_error.hpp"

#include <cstring>
#include <utility>

namespace zelto {

std::string os_error_text(int code) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not live in `buffer`.
    const char* description = strerror_r(code, buffer, sizeof buffer);
    return std::string(description) + " (os error " + std::to_string(code) + ")";
}

IoError IoError::from_errno(int code) {
    return {IoErrorKind::Os, code, os_error_text(code)};
}

IoError IoError::unexpected_eof(std::string message) {
    return {IoErrorKind::UnexpectedEof, 0, std::move(message)};
}

IoError IoError::write_zero(std::string message) {
    return {IoErrorKind::WriteZero, 0, std::move(message)};
}

IoError IoError::invalid_input(std::string message) {
    return {IoErrorKind::InvalidInput, 0, std::move(message)};
}

IoError IoError::other(std::string message) {
    return {IoErrorKind::Other, 0, std::move(message)};
}

}  // namespace zelto
