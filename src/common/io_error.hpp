// An operating-system level failure with the text the user reads.
//
// Texts: "<C library description> (os error N)" for an errno, or a fixed text for failures that
// have only a kind ("failed to fill whole buffer", "early eof", "invalid socket address", ...).
#pragma once

#include <string>

namespace zelto {

enum class IoErrorKind {
    Os,             // carries an errno in `code`
    UnexpectedEof,  // the peer closed before a read was complete
    WriteZero,      // a write accepted no bytes
    InvalidInput,   // an address or path that cannot be used
    Other,          // resolver failures and the like
};

struct IoError {
    IoErrorKind kind = IoErrorKind::Other;
    int code = 0;  // errno when kind == Os, else 0
    std::string message;

    static IoError from_errno(int code);
    static IoError unexpected_eof();  // "failed to fill whole buffer"
    static IoError write_zero();      // "failed to write whole buffer"
    static IoError invalid_input(std::string message);
    static IoError other(std::string message);
};

// "<strerror(code)> (os error <code>)".
std::string os_error_text(int code);

}  // namespace zelto
