// zelto-mock-engine: a small reference engine for demos, tests and benchmarks.
//
//   zelto-mock-engine [--unix PATH] [--tcp PORT] [--shm NAME [--notify-fd N] [--pool-size B]]
//                     [--print-ready] [--verbose] [behaviour knobs]
//
// It prints nothing unless asked (--print-ready writes one "ready" line once every listener and
// the region exist; --verbose logs requests to stderr) and exits cleanly on SIGTERM or SIGINT,
// removing the socket file and the shared-memory object it created.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "engine_options.hpp"
#include "engine_region.hpp"
#include "shm_server.hpp"
#include "socket_server.hpp"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop.store(true); }

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

namespace zelto::engine {
std::atomic<bool> g_socket_listening{false};
}  // namespace zelto::engine

int main(int argc, char** argv) {
    using namespace zelto::engine;
    std::string error;
    auto options = EngineOptions::parse(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "zelto-mock-engine: %s\n", error.c_str());
        return 2;
    }
    if (!options->has("unix") && !options->has("tcp") && !options->has("shm")) {
        std::fprintf(stderr, "zelto-mock-engine: give --unix PATH, --tcp PORT and/or --shm NAME\n");
        return 2;
    }
    install_signal_handlers();

    std::unique_ptr<EngineRegion> region;
    if (options->has("shm")) {
        region = EngineRegion::create(*options, error);
        if (!region) {
            std::fprintf(stderr, "zelto-mock-engine: %s\n", error.c_str());
            return 1;
        }
    }

    std::thread shm_thread;
    if (region) shm_thread = std::thread([&] { run_shm_server(*options, *region, g_stop); });

    int status = 0;
    if (options->has("unix") || options->has("tcp")) {
        std::thread socket_thread(
            [&] {
                status = run_socket_server(*options, region.get(), g_stop);
                g_stop.store(true);
            });
        while (!g_socket_listening.load() && !g_stop.load()) usleep(1000);
        if (options->has("print-ready") && g_socket_listening.load()) {
            std::printf("ready\n");
            std::fflush(stdout);
        }
        socket_thread.join();
    } else {
        if (options->has("print-ready")) {
            std::printf("ready\n");
            std::fflush(stdout);
        }
        while (!g_stop.load()) usleep(10000);
    }
    g_stop.store(true);
    if (shm_thread.joinable()) shm_thread.join();
    region.reset();  // unlinks the shared-memory object
    return status;
}
