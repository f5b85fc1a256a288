// The library's log facility: each message has a level and a target text. The threshold starts
// at Off and no sink is attached, so nothing is written unless the embedding program (or a test)
// raises the threshold and attaches a sink.
#pragma once

#include <functional>
#include <string_view>

namespace zelto::shm {

// Ordered by severity: a threshold admits every level from Error up to and including itself.
enum class LogLevel { Off = 0, Error, Warn, Info, Debug, Trace };

using LogSink =
    std::function<void(LogLevel level, std::string_view target, std::string_view message)>;

void set_log_threshold(LogLevel threshold);
LogLevel log_threshold();

// Replaces the sink; an empty function detaches it.
void set_log_sink(LogSink sink);

// True when a message at `level` would reach a sink; lets callers skip formatting.
bool log_enabled(LogLevel level);

// Hands the message to the sink if the threshold admits `level`. Never throws: a sink that
// throws loses its message rather than unwinding into the caller.
void log_message(LogLevel level, std::string_view target, std::string_view message) noexcept;

}  // namespace zelto::shm
