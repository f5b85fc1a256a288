// An operating-system level failure with the text the user reads.
//
// Texts: "<C library description> (os error N)" for an errno, or a text the caller chooses for
// failures that have only a kind ("failed to fill whole buffer", "early eof", "invalid socket
// address", ...).
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
    // Short transfers: each client words them its own way, so the text comes from the caller.
    static IoError unexpected_eof(std::string message);
    static IoError write_zero(std::string message);
    static IoError invalid_input(std::string message);
    static IoError other(std::string message);
};

// "<strerror(code)> (os error <code>)".
std::string os_error_text(int code);

}  // namespace zelto
