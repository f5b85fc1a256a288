// retry_on_eintr: a system call run again for as long as a signal interrupts it.
#pragma once

#include <cerrno>

namespace zelto {

// A signal handler installed without SA_RESTART makes a blocking call fail with EINTR although
// nothing went wrong, so the call is simply made again; any other outcome is returned as is.
template <typename Call>
auto retry_on_eintr(Call&& call) -> decltype(call()) {
    for (;;) {
        auto result = call();
        if (!(result == -1 && errno == EINTR)) return result;
    }
}

}  // namespace zelto
