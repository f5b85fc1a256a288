// The socket client's error value; converted into a Python exception at the method boundary.
#pragma once

#include <string>

#include "common/io_error.hpp"

namespace zelto::sdk {

struct ClientError {
    enum class Kind {
        Io,              // -> ConnectionError
        Config,          // -> ValueError
        InvalidRequest,  // -> ValueError
        Protocol,        // -> RuntimeError
        Remote,          // -> RuntimeError
    };

    Kind kind = Kind::Protocol;
    std::string message;
    IoError io;  // meaningful for Kind::Io (keeps the errno for the OSError mapping)

    static ClientError from_io(IoError error) {
        std::string text = error.message;
        return {Kind::Io, std::move(text), std::move(error)};
    }
    static ClientError config(std::string message) {
        return {Kind::Config, std::move(message), {}};
    }
    static ClientError invalid_request(std::string message) {
        return {Kind::InvalidRequest, std::move(message), {}};
    }
    static ClientError protocol(std::string message) {
        return {Kind::Protocol, std::move(message), {}};
    }
    static ClientError remote(std::string message) {
        return {Kind::Remote, std::move(message), {}};
    }
};

}  // namespace zelto::sdk
