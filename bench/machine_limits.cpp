// machine_limits: what this machine allows at best, measured in the same run as the clients.
//
//   memcpy SIZE CALLS -> "ok t1 ... tCALLS"  ns per memcpy of SIZE bytes, steady state: source
//                        and destination are allocated and touched once per size and reused;
//                        copies shorter than 64 KiB are timed in batches and averaged so that
//                        the clock read does not dominate.
//   eventfd CALLS CPU -> "ok t1 ... tCALLS"  ns per round trip between two processes through a
//                        pair of eventfds (write, the peer's blocking read wakes, it writes
//                        back, our blocking read wakes): the cost of a notification each way.
//                        The peer process runs on processor CPU (-1: wherever this one may),
//                        fixed by the first eventfd command.
//   quit
//
// Driven by run_bench.py over stdin/stdout, one command a line.
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "machine_limits: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

struct Buffers {
    std::unique_ptr<std::uint8_t[]> src, dst;
};

// Samples in ns with one decimal: a 64-byte copy takes about a nanosecond.
template <typename T>
std::string format(const std::vector<T>& samples) {
    std::string out = "ok";
    out.reserve(samples.size() * 10 + 4);
    char text[32];
    for (auto s : samples) {
        std::snprintf(text, sizeof(text), " %.1f", static_cast<double>(s));
        out += text;
    }
    return out;
}

class EventfdPeer {
  public:
    static constexpr std::uint64_t kQuit = 1ull << 40;

    explicit EventfdPeer(int cpu) {
        ping_ = eventfd(0, EFD_CLOEXEC);
        pong_ = eventfd(0, EFD_CLOEXEC);
        if (ping_ < 0 || pong_ < 0) die("eventfd");
        child_ = fork();
        if (child_ < 0) die("fork");
        if (child_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (cpu >= 0) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(cpu, &one);
                sched_setaffinity(0, sizeof one, &one);  // if refused, it runs anywhere
            }
            for (;;) {
                std::uint64_t v = 0;
                if (read(ping_, &v, 8) != 8) {
                    if (errno == EINTR) continue;
                    _exit(1);
                }
                if (v >= kQuit) _exit(0);
                v = 1;
                if (write(pong_, &v, 8) != 8) _exit(1);
            }
        }
    }
    ~EventfdPeer() {
        std::uint64_t v = kQuit;
        if (write(ping_, &v, 8) == 8) waitpid(child_, nullptr, 0);
        close(ping_);
        close(pong_);
    }
    std::uint64_t round_trip() {
        std::uint64_t v = 1;
        const std::uint64_t t0 = now_ns();
        if (write(ping_, &v, 8) != 8) die("write eventfd");
        while (read(pong_, &v, 8) != 8) {
            if (errno != EINTR) die("read eventfd");
        }
        return now_ns() - t0;
    }

  private:
    int ping_ = -1, pong_ = -1;
    pid_t child_ = -1;
};

}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    std::map<std::uint64_t, Buffers> buffers;
    std::unique_ptr<EventfdPeer> peer;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "quit") break;
        if (cmd == "memcpy") {
            std::uint64_t size = 0, calls = 0;
            in >> size >> calls;
            auto& b = buffers[size];
            if (!b.src) {
                b.src.reset(new std::uint8_t[size + 1]);
                b.dst.reset(new std::uint8_t[size + 1]);
                std::memset(b.src.get(), 0x5a, size + 1);
                std::memset(b.dst.get(), 0, size + 1);
            }
            const std::uint64_t batch = size >= 65536 ? 1 : 65536 / (size ? size : 1);
            std::vector<double> samples(calls);
            for (std::uint64_t i = 0; i < calls; ++i) {
                const std::uint64_t t0 = now_ns();
                for (std::uint64_t k = 0; k < batch; ++k) {
                    std::memcpy(b.dst.get(), b.src.get(), size);
                    asm volatile("" : : "r"(b.dst.get()) : "memory");
                }
                samples[i] = static_cast<double>(now_ns() - t0) / static_cast<double>(batch);
            }
            std::cout << format(samples) << std::endl;
        } else if (cmd == "eventfd") {
            std::uint64_t calls = 0;
            int cpu = -1;
            in >> calls >> cpu;
            if (!peer) peer = std::make_unique<EventfdPeer>(cpu);
            std::vector<std::uint64_t> samples(calls);
            for (auto& s : samples) s = peer->round_trip();
            std::cout << format(samples) << std::endl;
        } else if (!cmd.empty()) {
            std::fprintf(stderr, "machine_limits: unknown command '%s'\n", cmd.c_str());
            return 2;
        }
    }
    return 0;
}
