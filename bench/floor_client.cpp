// floor_client: the socket floor of the end-to-end benchmark.
//
// A plain C++ client that does the same frame exchange as ZeltoClient.infer against the same
// engine: one request frame (12-byte header + encoded InferenceRequest) written with writev,
// then the 8-byte reply header and the reply body read exactly, and the reply's tensor packet
// located in place. Every buffer is reused from call to call, so what is left is the cost of the
// system calls, the kernel's copies and the engine: the least any client can spend on this path.
//
// It speaks the wire format by hand (no project library), so it stays a fixed reference while
// the client evolves. run_bench.py loads it as a shared library (the floor_* functions at the
// end) and calls it from the same thread that runs the Python clients, so the scheduler treats
// the floor exactly like them; built as a program it is driven over stdin/stdout instead, one
// command a line:
//
//   connect unix PATH | connect tcp HOST PORT   -> "ok"
//   run SIZE CALLS [split|spin]                 -> "ok t1 t2 ... tCALLS" (ns per call)
//   quit
//
// With "split" the 12-byte frame header and the payload go out in two writes instead of one (to
// measure what a second write costs: the engine may wake for the header alone). With "spin" the
// reply is never waited for in the kernel: recv(MSG_DONTWAIT) is asked again and again, with the
// processor's pause instruction between tries and no yield, until the bytes are there (a reply
// still missing after kSpinLimitNs is an error), so the caller keeps its processor and is never
// woken: the least a caller that burns its processor can wait.
//
// Each request sends shape [SIZE], dtype "uint8" and SIZE bytes of data to model 0 (op 1); the
// reply must echo the data (checked outside the timed region on the first and last call).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what) {
    throw std::runtime_error("floor_client: " + what + ": " + std::strerror(errno));
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("floor_client: " + what);
}

std::uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// x86-64 is little-endian, as the wire is.
void put_u32(std::uint8_t* p, std::uint32_t v) {
    std::memcpy(p, &v, 4);
}
void put_u64(std::uint8_t* p, std::uint64_t v) {
    std::memcpy(p, &v, 8);
}
std::uint32_t get_u32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
std::uint64_t get_u64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

int connect_unix(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        die("path");
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) die("connect " + path);
    return fd;
}

int connect_tcp(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) die("getaddrinfo");
    int fd = -1;
    for (addrinfo* ai = found; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd < 0) die("connect tcp");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

void write_all(int fd, iovec* iov, int count) {
    while (count > 0) {
        ssize_t n = writev(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            die("writev");
        }
        auto left = static_cast<std::size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
}

enum class Mode { Plain = 0, Split = 1, Spin = 2 };

// A reply that has not come after this long of spinning means the engine is gone or stuck.
constexpr std::uint64_t kSpinLimitNs = 5'000'000'000;

// Tells the processor this is a spin-wait (the hyper-thread sibling gets the pipeline).
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// recv without ever blocking: asks again, pausing between tries, until bytes (or an error) come.
ssize_t receive_spinning(int fd, std::uint8_t* buf, std::size_t len) {
    const std::uint64_t until = now_ns() + kSpinLimitNs;
    for (std::uint32_t tries = 1;; ++tries) {
        const ssize_t n = recv(fd, buf, len, MSG_DONTWAIT);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return n;
        cpu_relax();
        if (tries % 1024 == 0 && now_ns() > until) {
            errno = ETIMEDOUT;
            die("no reply after 5 s of spinning");
        }
    }
}

void read_exact(int fd, std::uint8_t* buf, std::size_t len, bool spin) {
    while (len > 0) {
        ssize_t n = spin ? receive_spinning(fd, buf, len) : recv(fd, buf, len, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            die("recv");
        }
        if (n == 0) {
            errno = EPIPE;
            die("engine closed the connection");
        }
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
}

class FloorClient {
  public:
    explicit FloorClient(int fd) : fd_(fd) {}
    ~FloorClient() { close(fd_); }
    FloorClient(const FloorClient&) = delete;
    FloorClient& operator=(const FloorClient&) = delete;

    // One exchange; returns a pointer to the reply's data bytes (inside the reused body buffer).
    const std::uint8_t* infer(const std::vector<std::uint8_t>& data, std::uint64_t& out_len,
                              Mode mode) {
        static const char kDtype[] = "uint8";
        constexpr std::size_t kDtypeLen = sizeof(kDtype) - 1;
        const std::uint64_t size = data.size();
        // Frame header + shape + dtype + data tag and length.
        std::uint8_t head[12 + 8 + 8 + 8 + kDtypeLen + 1 + 8];
        // data_base64 absent, additional_inputs count 0, session_id absent, metadata absent.
        static const std::uint8_t kTail[1 + 8 + 1 + 1] = {};
        const std::uint64_t payload_len = sizeof(head) - 12 + size + sizeof(kTail);
        std::uint8_t* p = head;
        // clang-format off: one field a line, its comment beside it
        put_u32(p, 0); p += 4;           // model_id
        put_u32(p, 1); p += 4;           // op Infer
        put_u32(p, static_cast<std::uint32_t>(payload_len)); p += 4;
        put_u64(p, 1); p += 8;           // shape: one dimension
        put_u64(p, size); p += 8;
        put_u64(p, kDtypeLen); p += 8;
        std::memcpy(p, kDtype, kDtypeLen); p += kDtypeLen;
        *p++ = 1;                        // data present
        put_u64(p, size); p += 8;
        // clang-format on
        iovec iov[3] = {{head, sizeof(head)},
                        {const_cast<std::uint8_t*>(data.data()), size},
                        {const_cast<std::uint8_t*>(kTail), sizeof(kTail)}};
        if (mode == Mode::Split) {
            iovec header_only{head, 12};
            write_all(fd_, &header_only, 1);
            iov[0] = {head + 12, sizeof(head) - 12};
        }
        write_all(fd_, iov, 3);

        std::uint8_t reply[8];
        const bool spin = mode == Mode::Spin;
        read_exact(fd_, reply, sizeof(reply), spin);
        const std::uint32_t status = get_u32(reply);
        const std::uint32_t body_len = get_u32(reply + 4);
        if (body_.size() < body_len) body_.resize(body_len);
        read_exact(fd_, body_.data(), body_len, spin);
        if (status != 0) {
            fail("engine error: " +
                 std::string(reinterpret_cast<const char*>(body_.data()), body_len));
        }
        // Locate the data of the BinaryTensorPacketPayload in place.
        const std::uint8_t* q = body_.data();
        const std::uint8_t* end = q + body_len;
        auto need = [&](std::size_t n) {
            if (static_cast<std::size_t>(end - q) < n) fail("short reply body");
        };
        need(8);
        const std::uint64_t ndim = get_u64(q);
        q += 8;
        need(ndim * 8 + 8);
        q += ndim * 8;
        const std::uint64_t dtype_len = get_u64(q);
        q += 8;
        need(dtype_len + 1);
        q += dtype_len;
        if (*q++ != 1) fail("reply without raw data");
        need(8);
        out_len = get_u64(q);
        q += 8;
        need(out_len);
        return q;
    }

  private:
    int fd_;
    std::vector<std::uint8_t> body_;
};

// A connection plus the request data of the current size.
struct FloorSession {
    std::unique_ptr<FloorClient> client;
    std::vector<std::uint8_t> data;
    std::mt19937_64 rng{12345};
    std::string error;

    // `calls` exchanges of `size` bytes; ns per call into `out`.
    void run(std::uint64_t size, std::uint64_t calls, Mode mode, std::uint64_t* out) {
        if (!client) fail("not connected");
        if (data.size() != size) {
            data.resize(size);
            for (auto& byte : data) byte = static_cast<std::uint8_t>(rng());
        }
        for (std::uint64_t i = 0; i < calls; ++i) {
            std::uint64_t got_len = 0;
            const std::uint64_t t0 = now_ns();
            const std::uint8_t* got = client->infer(data, got_len, mode);
            out[i] = now_ns() - t0;
            if ((i == 0 || i + 1 == calls) &&
                (got_len != size || (size && std::memcmp(got, data.data(), size) != 0))) {
                fail("reply differs from the request");
            }
        }
    }
};

}  // namespace

// The library interface (ctypes): every function returns 0 on success, -1 on failure with the
// reason in floor_error().
extern "C" {

void* floor_open() {
    return new FloorSession;
}

void floor_close(void* session) {
    delete static_cast<FloorSession*>(session);
}

const char* floor_error(void* session) {
    return static_cast<FloorSession*>(session)->error.c_str();
}

// kind "unix": a = path; kind "tcp": a = host, b = port.
int floor_connect(void* session, const char* kind, const char* a, const char* b) {
    auto* s = static_cast<FloorSession*>(session);
    try {
        const int fd = std::string(kind) == "unix" ? connect_unix(a) : connect_tcp(a, b);
        s->client = std::make_unique<FloorClient>(fd);
        return 0;
    } catch (const std::exception& e) {
        s->error = e.what();
        return -1;
    }
}

// mode: 0 plain, 1 split, 2 spin (see the top of the file).
int floor_run(void* session, std::uint64_t size, std::uint64_t calls, int mode,
              std::uint64_t* out) {
    auto* s = static_cast<FloorSession*>(session);
    try {
        if (mode < 0 || mode > 2) fail("unknown mode " + std::to_string(mode));
        s->run(size, calls, static_cast<Mode>(mode), out);
        return 0;
    } catch (const std::exception& e) {
        s->error = e.what();
        return -1;
    }
}

}  // extern "C"

#ifndef FLOOR_LIBRARY
int main() {
    std::ios::sync_with_stdio(false);
    FloorSession session;
    std::string line;
    try {
        while (std::getline(std::cin, line)) {
            std::istringstream in(line);
            std::string cmd;
            in >> cmd;
            if (cmd == "quit") break;
            if (cmd == "connect") {
                std::string kind, a, b;
                in >> kind >> a >> b;
                const int fd = kind == "unix" ? connect_unix(a) : connect_tcp(a, b);
                session.client = std::make_unique<FloorClient>(fd);
                std::cout << "ok" << std::endl;
            } else if (cmd == "run") {
                std::uint64_t size = 0, calls = 0;
                std::string mode;
                in >> size >> calls >> mode;
                std::vector<std::uint64_t> samples(calls);
                const Mode how = mode == "split"  ? Mode::Split
                                 : mode == "spin" ? Mode::Spin
                                                  : Mode::Plain;
                session.run(size, calls, how, samples.data());
                std::string out = "ok";
                out.reserve(calls * 9 + 4);
                for (auto t : samples) {
                    out += ' ';
                    out += std::to_string(t);
                }
                std::cout << out << std::endl;
            } else if (!cmd.empty()) {
                fail("unknown command '" + cmd + "'");
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
#endif
