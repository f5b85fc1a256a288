#include "shm/log.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace zelto::shm {
namespace {

std::atomic<LogLevel> g_threshold{LogLevel::Off};

// The sink is swapped under a mutex but called outside it, through a shared copy, so a slow sink
// never blocks set_log_sink and a sink may log again without deadlocking.
std::mutex g_sink_mutex;
std::shared_ptr<const LogSink> g_sink;

std::shared_ptr<const LogSink> current_sink() {
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    return g_sink;
}

}  // namespace

void set_log_threshold(LogLevel threshold) {
    g_threshold.store(threshold);
}

LogLevel log_threshold() {
    return g_threshold.load();
}

void set_log_sink(LogSink sink) {
    std::shared_ptr<const LogSink> replacement;
    if (sink) replacement = std::make_shared<const LogSink>(std::move(sink));
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    g_sink = std::move(replacement);
}

bool log_enabled(LogLevel level) {
    const LogLevel threshold = g_threshold.load();
    return level != LogLevel::Off && threshold != LogLevel::Off && level <= threshold;
}

void log_message(LogLevel level, std::string_view target, std::string_view message) noexcept {
    if (!log_enabled(level)) return;
    try {
        const auto sink = current_sink();
        if (sink) (*sink)(level, target, message);
    } catch (...) {
        // Logging must never change the outcome of the operation that logs.
    }
}

}  // namespace zelto::shm
