// The framed socket protocol of zelto-mock-engine: op 1 (unary), op 2 (stream), op 4 (hybrid),
// served on a Unix path (--unix PATH) and/or 127.0.0.1 (--tcp PORT, 0 for a port the kernel picks),
// one thread per connection.
//
// Model: "echo". Op 1 answers status 0 with the request's input tensor (shape, dtype, data) as a
// BinaryTensorPacketPayload, its data written to the socket straight from the request as it
// arrived (like an engine that hands its input on, it copies a large tensor only into the
// socket); op 2 sends that same packet as data frames. A request that does not
// decode is answered with status 1 and "bad request: <reason>"; an unknown op with status 1 and
// "unknown operation <op>".
//
// Behaviour knobs, so that tests can drive the client through every path:
//   --record FILE          append one line per event, flushed before the engine answers:
//                            "<conn> frame <hex>"  a whole request frame (12-byte header + payload)
//                            "<conn> eof"          the client closed while the engine was reading
//                          <conn> numbers connections from 1 in accept order.
//   --error TEXT           op 1 answers status --error-status (default 1) with body TEXT
//   --error-hex HEX        the same with raw body bytes, e.g. FF41 (invalid UTF-8)
//   --error-model ID       --error / --error-hex only for this model id; other models echo
//   --reply-hex HEX        op 1 answers status 0 with exactly these body bytes
//   --reply-dtype TEXT     the dtype text written into echo packets (default: canonical name)
//   --base64               echo packets carry data_base64 instead of data
//   --trailing N           N extra bytes (EE) after the op 1 echo packet, inside body_len
//   --close-after N        close a connection after N op 1 / op 4 replies on it
//   --no-reply             read each request, then close the connection without answering
//   --no-reply-model ID    the same, only for requests to this model id
//   --delay-ms N           wait N ms before each op 1 / op 4 reply
//   --delay-model ID       --delay-ms only for op 1 requests to this model id (op 4 and other
//                          models answer at once), so one engine can hold a call in flight for
//                          as long as a test needs while its other calls go through
//   --hostile-body-len N   op 1 answers status 0 with body_len N, sends --hostile-bytes K
//                          (default 16) body bytes and closes
//   --stream SCRIPT        the frames of op 2, comma separated (default "data,data,data,end"):
//                            data          kind 2, the echo packet
//                            data64        kind 2, the echo packet with data_base64
//                            error:TEXT    kind 1 with TEXT          errorhex:HEX  kind 1, raw
//                            end           kind 3, empty body
//                            kind:K:HEX    kind K with the body bytes HEX (may be empty)
//                            close         close the connection now
//                            hold          wait until the client closes (then record "eof")
//                          After the script the connection waits for the next request.
// Op 4 is answered by handle_hybrid_request (hybrid_handler.hpp), honouring its close_after and
// write_limit.
//
// Nothing is logged unless --verbose. On stop the listeners close, the socket file is removed,
// open connections are shut down and their threads joined.
#include "socket_server.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/little_endian.hpp"
#include "common/unique_fd.hpp"
#include "engine/request_decoder.hpp"
#include "engine_api/base64.hpp"
#include "hybrid_handler.hpp"
#include "transport/connection.hpp"
#include "transport/frame.hpp"
#include "transport/send_buffer.hpp"

namespace zelto::engine {
namespace {

using Bytes = std::vector<std::uint8_t>;
using transport::ReadWriteConnection;

// The options this part reads; the comment above tells what the knobs do in full.
constexpr OptionSpec kSocketServerOptions[] = {
    {"unix", OptionValue::Text, "PATH", "serve on this Unix socket path (removed again on exit)"},
    {"tcp", OptionValue::Number, "PORT",
     "serve on 127.0.0.1:PORT; 0 picks a free port, reported on the ready line"},
    {"record", OptionValue::Text, "FILE",
     "append one line per request frame (\"<conn> frame <hex>\") and per client close "
     "(\"<conn> eof\"), flushed before the engine answers"},
    {"error", OptionValue::Text, "TEXT", "op 1 answers status --error-status with body TEXT"},
    {"error-hex", OptionValue::Text, "HEX", "the same with raw body bytes, e.g. FF41"},
    {"error-status", OptionValue::Number, "N", "the status of --error / --error-hex (default 1)"},
    {"error-model", OptionValue::Number, "ID", "--error / --error-hex only for this model id"},
    {"reply-hex", OptionValue::Text, "HEX", "op 1 answers status 0 with exactly these body bytes"},
    {"reply-dtype", OptionValue::Text, "TEXT", "the dtype text written into echo packets"},
    {"base64", OptionValue::None, "", "echo packets carry data_base64 instead of data"},
    {"trailing", OptionValue::Number, "N", "N extra bytes (EE) after the op 1 echo packet"},
    {"close-after", OptionValue::Number, "N",
     "close a connection after N op 1 / op 4 replies on it"},
    {"no-reply", OptionValue::None, "", "read each request, then close without answering"},
    {"no-reply-model", OptionValue::Number, "ID", "--no-reply only for this model id"},
    {"delay-ms", OptionValue::Number, "N", "wait N ms before each op 1 / op 4 reply"},
    {"delay-model", OptionValue::Number, "ID",
     "--delay-ms only for op 1 requests to this model id"},
    {"hostile-body-len", OptionValue::Number, "N",
     "op 1 announces body_len N, sends --hostile-bytes bytes and closes"},
    {"hostile-bytes", OptionValue::Number, "K", "body bytes sent by --hostile-body-len (16)"},
    {"stream", OptionValue::Text, "SCRIPT",
     "the frames of op 2, comma separated (default data,data,data,end): data, data64, "
     "error:TEXT, errorhex:HEX, end, kind:K:HEX, close, hold"},
};

}  // namespace

std::span<const OptionSpec> socket_server_options() {
    return kSocketServerOptions;
}

namespace {

Bytes from_hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string to_hex(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// The knobs, read once.
struct Behaviour {
    std::optional<Bytes> error_body;
    std::uint32_t error_status = 1;
    std::optional<std::uint32_t> error_model;
    std::optional<Bytes> reply_body;
    std::optional<std::string> reply_dtype;
    bool base64 = false;
    std::size_t trailing = 0;
    std::uint64_t close_after = 0;
    bool no_reply = false;
    std::optional<std::uint32_t> no_reply_model;
    std::chrono::milliseconds delay{0};
    std::optional<std::uint32_t> delay_model;
    std::optional<std::uint32_t> hostile_body_len;
    std::size_t hostile_bytes = 16;
    std::vector<std::string> stream_script;
    bool verbose = false;

    static Behaviour from(const EngineOptions& options) {
        Behaviour b;
        if (options.has("error")) {
            const std::string text = options.text("error");
            b.error_body = Bytes(text.begin(), text.end());
        }
        if (options.has("error-hex")) b.error_body = from_hex(options.text("error-hex"));
        b.error_status = static_cast<std::uint32_t>(options.number("error-status", 1));
        if (options.has("error-model")) {
            b.error_model = static_cast<std::uint32_t>(options.number("error-model"));
        }
        if (options.has("reply-hex")) b.reply_body = from_hex(options.text("reply-hex"));
        if (options.has("reply-dtype")) b.reply_dtype = options.text("reply-dtype");
        b.base64 = options.has("base64");
        b.trailing = static_cast<std::size_t>(options.number("trailing"));
        b.close_after = options.number("close-after");
        b.no_reply = options.has("no-reply");
        if (options.has("no-reply-model")) {
            b.no_reply_model = static_cast<std::uint32_t>(options.number("no-reply-model"));
        }
        b.delay = std::chrono::milliseconds(options.number("delay-ms"));
        if (options.has("delay-model")) {
            b.delay_model = static_cast<std::uint32_t>(options.number("delay-model"));
        }
        if (options.has("hostile-body-len")) {
            b.hostile_body_len = static_cast<std::uint32_t>(options.number("hostile-body-len"));
        }
        b.hostile_bytes = static_cast<std::size_t>(options.number("hostile-bytes", 16));
        b.stream_script = split(options.text("stream", "data,data,data,end"), ',');
        b.verbose = options.verbose();
        return b;
    }
};

// Appends event lines to the --record file; each line is flushed before the engine answers,
// so a test that got its reply can already read the line.
class Recorder {
  public:
    explicit Recorder(std::string path) : path_(std::move(path)) {}

    // Lets callers skip building a line (e.g. the hex text of a whole frame) nobody will read.
    bool enabled() const { return !path_.empty(); }

    void line(std::uint64_t connection, const std::string& text) {
        if (path_.empty()) return;
        std::lock_guard lock(mutex_);
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path_.c_str(), "a"), &std::fclose);
        if (file)
            std::fprintf(file.get(), "%llu %s\n", static_cast<unsigned long long>(connection),
                         text.c_str());
    }

  private:
    std::string path_;
    std::mutex mutex_;
};

// Open connection sockets, so that stopping can unblock threads waiting in recv.
class OpenSockets {
  public:
    void add(int fd) {
        std::lock_guard lock(mutex_);
        fds_.insert(fd);
    }
    void remove(int fd) {
        std::lock_guard lock(mutex_);
        fds_.erase(fd);
    }
    void shutdown_all() {
        std::lock_guard lock(mutex_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }

  private:
    std::mutex mutex_;
    std::set<int> fds_;
};

struct Shared {
    const EngineOptions& options;
    EngineRegion* region;
    const std::atomic<bool>& stop;
    Behaviour behaviour;
    Recorder recorder;
    OpenSockets open;
};

void sleep_unless_stopped(std::chrono::milliseconds total, const std::atomic<bool>& stop) {
    const auto until = std::chrono::steady_clock::now() + total;
    while (!stop.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void put_u64(Bytes& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put_text(Bytes& out, const std::string& text) {
    put_u64(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

// Appends the first fields of the echo model's reply packet: shape and dtype.
// `dim_at(i)` gives dimension i of `rank`, so owned packets and views are written alike.
template <class DimAt>
void append_echo_head(Bytes& out, std::size_t rank, DimAt dim_at, engine_api::TensorDtype dtype,
                      const Behaviour& b) {
    put_u64(out, rank);
    for (std::size_t i = 0; i < rank; ++i) put_u64(out, static_cast<std::uint64_t>(dim_at(i)));
    put_text(out, b.reply_dtype ? *b.reply_dtype : std::string(engine_api::dtype_name(dtype)));
}

// Appends the reply packet of the echo model to `out`.
void append_echo_packet(Bytes& out, const engine_api::BinaryTensorPacket& input, const Behaviour& b,
                        bool base64) {
    append_echo_head(
        out, input.shape.size(), [&](std::size_t i) { return input.shape[i]; }, input.dtype, b);
    if (base64) {
        out.push_back(0);
        out.push_back(1);
        put_text(out, engine_api::base64_encode(input.data));
    } else {
        out.push_back(1);
        put_u64(out, input.data.size());
        out.insert(out.end(), input.data.begin(), input.data.end());
        out.push_back(0);
    }
}

// The reply packet of the echo model.
Bytes echo_packet(const engine_api::BinaryTensorPacket& input, const Behaviour& b, bool base64) {
    Bytes out;
    append_echo_packet(out, input, b, base64);
    return out;
}

Bytes frame(std::uint32_t word, const Bytes& body) {
    // Sized once and filled with memcpy: GCC 12 misreads an insert behind the 8-byte header as
    // an out-of-bounds copy (-Warray-bounds).
    Bytes out(transport::kReplyHeaderSize + body.size());
    store_le(out.data(), word);
    store_le(out.data() + 4, static_cast<std::uint32_t>(body.size()));
    if (!body.empty()) {
        std::memcpy(out.data() + transport::kReplyHeaderSize, body.data(), body.size());
    }
    return out;
}

bool send_all(ReadWriteConnection& connection, const Bytes& bytes) {
    return connection.write_all(bytes).has_value();
}

// The op 1 reply frame, as answer_infer leaves it: `frame` (kept from request to request), then
// `data` and `tail`. The echo of raw data that arrived raw is sent from the request's payload
// itself, so a large tensor is copied only into the socket, as an engine that hands its input
// on would do; everything else (errors, scripted bodies, base64) lies whole in `frame`.
struct InferReply {
    std::span<const std::uint8_t> data;  // into the payload answer_infer was given
    Bytes tail;
};

// True when `inner` lies inside `outer`.
bool lies_within(std::span<const std::uint8_t> inner, std::span<const std::uint8_t> outer) {
    const auto begin = reinterpret_cast<std::uintptr_t>(inner.data());
    const auto outer_begin = reinterpret_cast<std::uintptr_t>(outer.data());
    return inner.empty() ||
           (begin >= outer_begin && begin - outer_begin + inner.size() <= outer.size());
}

void append_echo_reply(Bytes& frame, InferReply& reply, std::span<const std::uint8_t> payload,
                       const engine_api::TensorPacketView& input, const Behaviour& b) {
    if (b.base64 || !lies_within(input.data(), payload)) {
        append_echo_packet(frame, input.to_owned(), b, b.base64);
        frame.insert(frame.end(), b.trailing, 0xEE);
        return;
    }
    append_echo_head(
        frame, input.rank(), [&](std::size_t i) { return input.dim(i); }, input.dtype(), b);
    frame.push_back(1);
    put_u64(frame, input.data().size());
    reply.data = input.data();
    reply.tail.push_back(0);
    reply.tail.insert(reply.tail.end(), b.trailing, 0xEE);
}

// Builds the op 1 reply to `payload`: the frame's header and as much of the body as is not the
// echoed data in `frame`, whose capacity is kept from request to request, so a steady stream of
// same-sized requests allocates nothing.
InferReply answer_infer(std::uint32_t model_id, std::span<const std::uint8_t> payload,
                        const Behaviour& b, Bytes& frame) {
    frame.assign(transport::kReplyHeaderSize, 0);
    InferReply reply;
    std::uint32_t status = 0;
    if (b.error_body && (!b.error_model || *b.error_model == model_id)) {
        status = b.error_status;
        frame.insert(frame.end(), b.error_body->begin(), b.error_body->end());
    } else if (b.reply_body) {
        frame.insert(frame.end(), b.reply_body->begin(), b.reply_body->end());
    } else if (auto request = decode_inference_request_view(payload); !request) {
        const std::string text = "bad request: " + request.error().message;
        status = 1;
        frame.insert(frame.end(), text.begin(), text.end());
    } else {
        append_echo_reply(frame, reply, payload, request->input, b);
    }
    const std::size_t body =
        frame.size() - transport::kReplyHeaderSize + reply.data.size() + reply.tail.size();
    store_le(frame.data(), status);
    store_le(frame.data() + 4, static_cast<std::uint32_t>(body));
    return reply;
}

// Reads a `length`-byte payload into the front of `buffer`. The buffer keeps its size between
// requests, so same-sized requests neither allocate nor fault in fresh pages; it grows only as
// bytes really arrive (1 MiB, then doubling), so an announced length followed by a close costs
// little.
std::optional<std::span<const std::uint8_t>> read_payload(ReadWriteConnection& connection,
                                                          std::size_t length, Bytes& buffer) {
    constexpr std::size_t kFirstChunk = std::size_t{1} << 20;
    std::size_t filled = 0;
    while (filled < length) {
        if (buffer.size() <= filled) {
            buffer.resize(std::min(length, std::max(kFirstChunk, 2 * filled)));
        }
        const std::size_t next = std::min(length, buffer.size());
        if (!connection.read_exact(buffer.data() + filled, next - filled)) return std::nullopt;
        filled = next;
    }
    return std::span<const std::uint8_t>(buffer.data(), length);
}

enum class After { KeepServing, Close };

// Runs the --stream script for one op 2 request.
After run_stream(ReadWriteConnection& connection, std::uint64_t number,
                 std::span<const std::uint8_t> payload, Shared& shared) {
    const Behaviour& b = shared.behaviour;
    auto request = decode_inference_request(payload);
    // Each kind of data frame is built once per request and sent as often as the script says.
    std::optional<Bytes> data_frames[2];
    for (const std::string& step : b.stream_script) {
        Bytes out;
        if (step == "data" || step == "data64") {
            const bool base64 = step == "data64";
            if (!request) {
                const std::string text = "bad request: " + request.error().message;
                out = frame(1, Bytes(text.begin(), text.end()));
            } else {
                if (!data_frames[base64]) {
                    data_frames[base64] = frame(2, echo_packet(request->input, b, base64));
                }
                if (!send_all(connection, *data_frames[base64])) return After::Close;
                continue;
            }
        } else if (step.rfind("error:", 0) == 0) {
            const std::string text = step.substr(6);
            out = frame(1, Bytes(text.begin(), text.end()));
        } else if (step.rfind("errorhex:", 0) == 0) {
            out = frame(1, from_hex(step.substr(9)));
        } else if (step == "end") {
            out = frame(3, {});
        } else if (step.rfind("kind:", 0) == 0) {
            const auto parts = split(step, ':');
            const auto kind = static_cast<std::uint32_t>(std::stoul(parts.at(1)));
            out = frame(kind, parts.size() > 2 ? from_hex(parts[2]) : Bytes{});
        } else if (step == "close") {
            return After::Close;
        } else if (step == "hold") {
            std::uint8_t byte;
            if (!connection.read_exact(&byte, 1) && !shared.stop.load()) {
                shared.recorder.line(number, "eof");
            }
            return After::Close;
        }
        if (!out.empty() && !send_all(connection, out)) return After::Close;
    }
    return After::KeepServing;
}

After answer_hybrid(ReadWriteConnection& connection, std::span<const std::uint8_t> payload,
                    Shared& shared) {
    HybridReply reply =
        handle_hybrid_request(shared.options, shared.region, payload.data(), payload.size());
    if (!shared.behaviour.delay_model) sleep_unless_stopped(shared.behaviour.delay, shared.stop);
    Bytes out = frame(reply.status, Bytes(reply.body.begin(), reply.body.end()));
    if (reply.write_limit != 0 && reply.write_limit < out.size()) {
        out.resize(reply.write_limit);
        send_all(connection, out);
        return After::Close;
    }
    if (!send_all(connection, out)) return After::Close;
    return reply.close_after ? After::Close : After::KeepServing;
}

void serve(std::uint64_t number, ReadWriteConnection& connection, Shared& shared) {
    const Behaviour& b = shared.behaviour;
    std::uint64_t replies = 0;
    Bytes payload_buffer;  // both reused for every request on this connection
    Bytes reply_frame;
    while (!shared.stop.load()) {
        std::uint8_t header[transport::kRequestHeaderSize];
        if (!connection.read_exact(header, sizeof header)) {
            if (!shared.stop.load()) shared.recorder.line(number, "eof");
            return;
        }
        const auto model_id = load_le<std::uint32_t>(header);
        const auto op = load_le<std::uint32_t>(header + 4);
        const auto length = load_le<std::uint32_t>(header + 8);
        auto payload = read_payload(connection, length, payload_buffer);
        if (!payload) return;
        // The hex text of a large frame costs more than serving it; build it only when recording.
        if (shared.recorder.enabled()) {
            shared.recorder.line(number, "frame " + to_hex(header, sizeof header) +
                                             to_hex(payload->data(), payload->size()));
        }
        if (b.verbose) {
            std::fprintf(stderr, "zelto-mock-engine: connection %llu: model %u op %u, %u bytes\n",
                         static_cast<unsigned long long>(number), model_id, op, length);
        }
        if (b.no_reply || (b.no_reply_model && *b.no_reply_model == model_id)) return;

        After after = After::KeepServing;
        if (op == static_cast<std::uint32_t>(transport::FrameOp::Infer)) {
            if (b.hostile_body_len) {
                Bytes out(transport::kReplyHeaderSize, 0);
                store_le(out.data() + 4, *b.hostile_body_len);
                out.insert(out.end(), b.hostile_bytes, 0x5A);
                send_all(connection, out);
                return;
            }
            const InferReply reply = answer_infer(model_id, *payload, b, reply_frame);
            if (!b.delay_model || *b.delay_model == model_id) {
                sleep_unless_stopped(b.delay, shared.stop);
            }
            if (!connection.write_all({reply_frame, reply.data, reply.tail})) return;
            ++replies;
        } else if (op == static_cast<std::uint32_t>(transport::FrameOp::InferStream)) {
            after = run_stream(connection, number, *payload, shared);
        } else if (op == static_cast<std::uint32_t>(transport::FrameOp::HybridInfer)) {
            after = answer_hybrid(connection, *payload, shared);
            ++replies;
        } else {
            const std::string text = "unknown operation " + std::to_string(op);
            if (!send_all(connection, frame(1, Bytes(text.begin(), text.end())))) return;
            ++replies;
        }
        if (after == After::Close) return;
        if (b.close_after != 0 && replies >= b.close_after) return;
    }
}

bool accepts_connections(const sockaddr_un& address) {
    const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.valid() &&
           ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

UniqueFd listen_unix(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + path;
        return {};
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    // A socket file left behind by a killed engine would make bind fail, so it is replaced; one
    // that a running process still accepts on is not: taking it over would cut that engine off.
    struct stat info{};
    if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
        if (accepts_connections(address)) {
            error = "cannot listen on " + path + ": a running process accepts connections there";
            return {};
        }
        ::unlink(path.c_str());
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 128) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return {};
    }
    return fd;
}

UniqueFd listen_tcp(std::uint16_t port, std::string& error) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (fd.valid()) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd.valid() ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 128) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return {};
    }
    // With port 0 the kernel picks one; the launcher learns it from the ready line.
    socklen_t length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        g_tcp_port.store(ntohs(address.sin_port));
    }
    return fd;
}

struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

int run_socket_server(const EngineOptions& options, EngineRegion* region,
                      const std::atomic<bool>& stop) {
    Shared shared{options, region, stop, Behaviour::from(options), Recorder(options.text("record")),
                  {}};
    std::string error;
    std::vector<UniqueFd> listeners;
    const std::string unix_path = options.text("unix");
    bool created_socket_file = false;
    int unix_listener = -1;
    if (options.has("unix")) {
        UniqueFd fd = listen_unix(unix_path, error);
        if (!fd.valid()) {
            std::fprintf(stderr, "zelto-mock-engine: %s\n", error.c_str());
            return 1;
        }
        created_socket_file = true;
        unix_listener = fd.get();
        listeners.push_back(std::move(fd));
    }
    if (options.has("tcp")) {
        const std::uint64_t port = options.number("tcp");
        UniqueFd fd;
        if (port > 65535) {
            error = "--tcp " + std::to_string(port) + " is not a port (0 to 65535)";
        } else {
            fd = listen_tcp(static_cast<std::uint16_t>(port), error);
        }
        if (!fd.valid()) {
            std::fprintf(stderr, "zelto-mock-engine: %s\n", error.c_str());
            if (created_socket_file) ::unlink(unix_path.c_str());
            return 1;
        }
        listeners.push_back(std::move(fd));
    }
    g_socket_listening.store(true);

    std::list<Worker> workers;
    std::uint64_t accepted = 0;
    std::vector<pollfd> watch;
    for (const UniqueFd& fd : listeners) watch.push_back({fd.get(), POLLIN, 0});
    // A short poll timeout lets the loop notice the stop flag set by the signal handler.
    while (!stop.load()) {
        if (::poll(watch.data(), watch.size(), 50) <= 0) continue;
        for (const pollfd& entry : watch) {
            if ((entry.revents & POLLIN) == 0) continue;
            UniqueFd client(::accept4(entry.fd, nullptr, nullptr, SOCK_CLOEXEC));
            if (!client.valid()) continue;
            // Replies of a few hundred kilobytes then go out without waiting for the client.
            if (entry.fd == unix_listener) transport::raise_send_buffer(client.get());
            const std::uint64_t number = ++accepted;
            shared.open.add(client.get());
            Worker& worker = workers.emplace_back();
            worker.thread =
                std::thread([&shared, number, done = worker.done, fd = client.release()]() mutable {
                    {
                        ReadWriteConnection connection{UniqueFd(fd)};
                        serve(number, connection, shared);
                        shared.open.remove(fd);  // before the socket closes and fd is reused
                    }
                    done->store(true);
                });
        }
        for (auto it = workers.begin(); it != workers.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
    }

    listeners.clear();
    if (created_socket_file) ::unlink(unix_path.c_str());
    shared.open.shutdown_all();
    for (Worker& worker : workers) worker.thread.join();
    return 0;
}

}  // namespace zelto::engine
