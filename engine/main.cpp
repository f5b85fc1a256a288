// zelto-mock-engine: a small reference engine for demos, tests and benchmarks.
//
//   zelto-mock-engine [--unix PATH] [--tcp PORT] [--shm NAME [--notify-fd N] [--pool-size B]]
//                     [--print-ready] [--verbose] [--replace-stale] [behaviour knobs]
//
// It prints nothing unless asked (--print-ready writes one line once every listener and the
// region exist: "ready", followed by " tcp_port=N" when it listens on TCP; --verbose logs
// requests to stderr) and exits cleanly on SIGTERM or SIGINT, removing the socket file and the
// shared-memory object it created. Every option is declared by the part that reads it; an
// unknown one, or one without its value, stops the engine with exit status 2 before it starts.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "engine_options.hpp"
#include "engine_region.hpp"
#include "hybrid_handler.hpp"
#include "shm_server.hpp"
#include "socket_server.hpp"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop.store(true);
}

void install_signal_handlers() {
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

#ifndef ZELTO_VERSION
#define ZELTO_VERSION "0.0.0+unknown"
#endif

using zelto::engine::OptionGroup;
using zelto::engine::OptionSpec;
using zelto::engine::OptionValue;

constexpr std::string_view kUsage =
    "usage: zelto-mock-engine [--unix PATH] [--tcp PORT] [--shm NAME] [options]\n"
    "\n"
    "A reference engine whose default model echoes its input tensor, over a Unix socket, TCP\n"
    "on 127.0.0.1 and a shared-memory region. Knobs make it answer otherwise, for tests.\n"
    "Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot start, 2 for a bad command line.\n";

constexpr OptionSpec kEngineOptions[] = {
    {"help", OptionValue::None, "", "print this help and exit"},
    {"version", OptionValue::None, "", "print the version and exit"},
    {"print-ready", OptionValue::None, "",
     "once every listener and the region exist, print the line \"ready\", or with a TCP "
     "listener \"ready tcp_port=N\""},
    {"verbose", OptionValue::None, "", "log requests to stderr"},
    {"replace-stale", OptionValue::None, "",
     "replace a shared-memory region that a killed engine left behind (one carrying the "
     "region's magic number that no running engine holds); a socket file nobody accepts "
     "on is replaced in any case, one a running process accepts on never"},
};

const OptionGroup kGroups[] = {
    {"Engine", kEngineOptions},
    {"Socket server (--unix, --tcp; ops 1, 2 and 4)", zelto::engine::socket_server_options()},
    {"Shared-memory region (--shm)", zelto::engine::region_options()},
    {"Shared-memory server (request and response rings)", zelto::engine::shm_server_options()},
    {"Hybrid requests (op 4)", zelto::engine::hybrid_options()},
};

bool asks_for(int argc, char** argv, std::string_view option) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == option) return true;
    }
    return false;
}

void announce_ready() {
    const int port = zelto::engine::g_tcp_port.load();
    if (port != 0) {
        std::printf("ready tcp_port=%d\n", port);
    } else {
        std::printf("ready\n");
    }
    std::fflush(stdout);
}

}  // namespace

namespace zelto::engine {
std::atomic<bool> g_socket_listening{false};
std::atomic<int> g_tcp_port{0};
}  // namespace zelto::engine

int main(int argc, char** argv) {
    using namespace zelto::engine;
    if (asks_for(argc, argv, "--help")) {
        std::fputs(options_help(kUsage, kGroups).c_str(), stdout);
        return 0;
    }
    if (asks_for(argc, argv, "--version")) {
        std::printf("zelto-mock-engine %s\n", ZELTO_VERSION);
        return 0;
    }
    auto options = EngineOptions::parse(argc, argv, kGroups);
    if (!options) {
        std::fprintf(stderr, "zelto-mock-engine: %s (see zelto-mock-engine --help)\n",
                     options.error().c_str());
        return 2;
    }
    if (!options->has("unix") && !options->has("tcp") && !options->has("shm")) {
        std::fprintf(stderr, "zelto-mock-engine: give --unix PATH, --tcp PORT and/or --shm NAME\n");
        return 2;
    }
    install_signal_handlers();

    std::unique_ptr<EngineRegion> region;
    if (options->has("shm")) {
        auto created = EngineRegion::create(*options);
        if (!created) {
            std::fprintf(stderr, "zelto-mock-engine: %s\n", created.error().c_str());
            return 1;
        }
        region = std::move(*created);
    }

    std::thread shm_thread;
    if (region) shm_thread = std::thread([&] { run_shm_server(*options, *region, g_stop); });

    int status = 0;
    if (options->has("unix") || options->has("tcp")) {
        std::thread socket_thread([&] {
            status = run_socket_server(*options, region.get(), g_stop);
            g_stop.store(true);
        });
        while (!g_socket_listening.load() && !g_stop.load()) usleep(1000);
        if (options->has("print-ready") && g_socket_listening.load()) announce_ready();
        socket_thread.join();
    } else {
        if (options->has("print-ready")) announce_ready();
        while (!g_stop.load()) usleep(10000);
    }
    g_stop.store(true);
    if (shm_thread.joinable()) shm_thread.join();
    region.reset();  // unlinks the shared-memory object
    return status;
}
