// HybridClient::infer against an in-memory region and a peer on an abstract Unix name that plays
// the engine: it reads the request frame, looks at the block the client wrote through a mapping
// of its own, lays its answer into the region and replies.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/little_endian.hpp"
#include "common/unique_fd.hpp"
#include "ipc/hybrid_messages.hpp"
#include "sdk/hybrid/hybrid_client.hpp"
#include "support/test_shm_region.hpp"
#include "support/unix_peer.hpp"
#include "transport/nonblocking_socket.hpp"
#include "transport/request_metadata.hpp"

namespace zelto::sdk {
namespace {

using Bytes = std::vector<std::uint8_t>;
using shm::testing::EngineMapping;
using shm::testing::Layout;
using shm::testing::ShmObject;
using shm::testing::unique_name;

Bytes le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// A reply frame: status, body length, body.
Bytes reply_frame(std::uint32_t status, const Bytes& body) {
    Bytes frame = le32(status);
    const Bytes length = le32(static_cast<std::uint32_t>(body.size()));
    frame.insert(frame.end(), length.begin(), length.end());
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

Bytes success_reply(std::uint64_t request_id, std::uint64_t block_offset) {
    ipc::HybridResponse response;
    response.metadata.request_id = request_id;
    response.shm_offset = block_offset;
    response.shm_size = 80;
    const auto body = response.encode();
    return reply_frame(0, Bytes(body.begin(), body.end()));
}

// The request's fields as the frame carries them (12-byte header, then the 40-byte record).
struct SeenRequest {
    std::uint64_t id;
    std::uint64_t timestamp_ns;
    std::uint64_t shm_offset;
    std::uint64_t shm_size;
};

SeenRequest fields_of(const Bytes& frame) {
    const std::uint8_t* record = frame.data() + 12;
    return {load_le<std::uint64_t>(record), load_le<std::uint64_t>(record + 16),
            load_le<std::uint64_t>(record + 24), load_le<std::uint64_t>(record + 32)};
}

// Accepts one connection, reads the 52-byte request frame and sends what `answer` makes of it
// (nothing and a close when it returns no bytes); then waits for the client to hang up.
class EnginePeer {
  public:
    using Answer = std::function<Bytes(const Bytes& request)>;

    EnginePeer(const std::string& name, Answer answer)
        : answer_(std::move(answer)), listener_(unix_peer::listen_unix(name, 1)) {
        thread_ = std::thread([this] { run(); });
    }
    ~EnginePeer() { thread_.join(); }
    EnginePeer(const EnginePeer&) = delete;
    EnginePeer& operator=(const EnginePeer&) = delete;

    Bytes request() {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }

  private:
    void run() {
        if (!unix_peer::readable(listener_.get())) return;
        UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.valid()) return;
        Bytes request;
        if (!unix_peer::read_request_frame(connection.get(), request)) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            request_ = request;
        }
        const Bytes reply = answer_(request);
        if (reply.empty()) return;  // the connection closes before any reply
        unix_peer::write_all(connection.get(), reply);
        unix_peer::wait_for_hang_up(connection.get());
    }

    Answer answer_;
    UniqueFd listener_;
    std::thread thread_;
    std::mutex mutex_;
    Bytes request_;
};

class VectorSink final : public ResultSink {
  public:
    std::uint8_t* reserve(std::size_t size) override {
        ++reserved;
        bytes.assign(size, 0);
        return bytes.data();
    }
    Bytes bytes;
    int reserved = 0;
};

std::string abstract_name() {
    static std::atomic<int> counter{0};
    return std::string(1, '\0') + "zelto-hybrid-client-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter++);
}

class HybridClientTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(engine.mapped()); }

    std::unique_ptr<HybridClient> make_client() {
        auto created = HybridClient::create(object.name(), socket_name);
        EXPECT_TRUE(created) << created.error().message;
        return created ? std::move(*created) : nullptr;
    }

    // An int64 request [3] with the values 7, -1 and 2^40.
    Result<void, HybridError> infer(HybridClient& client, VectorSink& sink) {
        return client.infer(kShape, "int64", input.data(), input.size(), sink);
    }

    static constexpr std::int64_t kShape[1] = {3};
    const Bytes input = [] {
        Bytes bytes(24, 0);
        store_le<std::int64_t>(bytes.data(), 7);
        store_le<std::int64_t>(bytes.data() + 8, -1);
        store_le<std::int64_t>(bytes.data() + 16, std::int64_t{1} << 40);
        return bytes;
    }();
    Layout layout{};
    ShmObject object{unique_name("hybrid-client"), layout.bytes()};
    EngineMapping engine{object.name(), layout};
    const std::string socket_name = abstract_name();
};

TEST_F(HybridClientTest, AGoodReplyPutsTheResultBytesIntoTheSink) {
    const Bytes result = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xff};
    Bytes block_seen;
    EnginePeer peer(socket_name, [&](const Bytes& request) {
        const SeenRequest seen = fields_of(request);
        if (seen.shm_offset + seen.shm_size <= engine.size()) {
            block_seen.assign(engine.at(seen.shm_offset),
                              engine.at(seen.shm_offset) + seen.shm_size);
        }
        const std::uint64_t result_offset = seen.shm_offset + 256;
        engine.write_block(result_offset, result);
        return success_reply(seen.id, result_offset);
    });
    auto client = make_client();
    ASSERT_TRUE(client);
    VectorSink sink;
    const std::uint64_t before = transport::wall_clock_ns();
    auto outcome = infer(*client, sink);
    const std::uint64_t after = transport::wall_clock_ns();
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(sink.bytes, result);
    EXPECT_EQ(sink.reserved, 1);

    // The frame is encode_request_frame's, with the clock reading taken during the call.
    const Bytes frame = peer.request();
    ASSERT_EQ(frame.size(), ipc::kRequestFrameSize);
    const SeenRequest seen = fields_of(frame);
    EXPECT_GE(seen.timestamp_ns, before);
    EXPECT_LE(seen.timestamp_ns, after);
    ipc::HybridRequest expected;
    expected.metadata.request_id = 1;  // the first id this process takes on a fresh region
    expected.metadata.timestamp_ns = seen.timestamp_ns;
    expected.shm_offset = seen.shm_offset;
    expected.shm_size = 80 + input.size();
    const auto encoded = ipc::encode_request_frame(expected);
    EXPECT_EQ(frame, Bytes(encoded.begin(), encoded.end()));
    EXPECT_GE(seen.shm_offset, layout.pool_offset);

    // The block the engine found: ndim 1, int64 (code 3), dims [3], data_len 24, the data.
    Bytes header(80, 0);
    store_le<std::uint32_t>(header.data(), 1);
    header[4] = 3;
    store_le<std::int64_t>(header.data() + 8, 3);
    store_le<std::uint64_t>(header.data() + 72, input.size());
    ASSERT_EQ(block_seen.size(), 80 + input.size());
    EXPECT_EQ(Bytes(block_seen.begin(), block_seen.begin() + 80), header);
    EXPECT_EQ(Bytes(block_seen.begin() + 80, block_seen.end()), input);
}

// A reply the call must refuse, and the text it ends with.
struct RefusedReply {
    const char* name;
    Bytes (*reply)(const EngineMapping& engine, const SeenRequest& request);
    std::string (*message)(std::uint64_t region_size, std::uint64_t slot);
};

std::string invalid_block(std::uint64_t offset, std::uint64_t size) {
    return "Invalid response from engine: result tensor block at offset " + std::to_string(offset) +
           " does not fit in the " + std::to_string(size) + "-byte region";
}

const RefusedReply kRefusedReplies[] = {
    {"BlockAtTheRegionEnd",
     [](const EngineMapping& e, const SeenRequest& r) { return success_reply(r.id, e.size()); },
     [](std::uint64_t size, std::uint64_t) { return invalid_block(size, size); }},
    // The header would end one byte past the mapping: refused before data_len is read.
    {"HeaderOneByteShort",
     [](const EngineMapping& e, const SeenRequest& r) {
         return success_reply(r.id, e.size() - 79);
     },
     [](std::uint64_t size, std::uint64_t) { return invalid_block(size - 79, size); }},
    {"DataLenPastTheEnd",
     [](const EngineMapping& e, const SeenRequest& r) {
         e.write_block(r.shm_offset, {});
         store_le<std::uint64_t>(e.at(r.shm_offset + 72), ~std::uint64_t{0});
         return success_reply(r.id, r.shm_offset);
     },
     [](std::uint64_t size, std::uint64_t slot) {
         return "Invalid response from engine: result tensor block at offset " +
                std::to_string(slot) + " claims " + std::to_string(~std::uint64_t{0}) +
                " data bytes, more than the " + std::to_string(size) + "-byte region holds";
     }},
    {"EngineStatusText",
     [](const EngineMapping&, const SeenRequest&) {
         const std::string text = "model exploded";
         return reply_frame(3, Bytes(text.begin(), text.end()));
     },
     [](std::uint64_t, std::uint64_t) { return std::string("model exploded"); }},
    {"CloseBeforeTheReply", [](const EngineMapping&, const SeenRequest&) { return Bytes{}; },
     [](std::uint64_t, std::uint64_t) { return std::string("early eof"); }},
};

class HybridClientRefusals : public HybridClientTest,
                             public testing::WithParamInterface<RefusedReply> {};

TEST_P(HybridClientRefusals, EndTheCallWithTheirTextAndNoResult) {
    const RefusedReply& c = GetParam();
    EnginePeer peer(socket_name,
                    [&](const Bytes& request) { return c.reply(engine, fields_of(request)); });
    auto client = make_client();
    ASSERT_TRUE(client);
    VectorSink sink;
    auto outcome = infer(*client, sink);
    ASSERT_FALSE(outcome);
    const Bytes frame = peer.request();
    ASSERT_EQ(frame.size(), ipc::kRequestFrameSize);
    EXPECT_EQ(outcome.error().message, c.message(engine.size(), fields_of(frame).shm_offset));
    EXPECT_EQ(sink.reserved, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, HybridClientRefusals, testing::ValuesIn(kRefusedReplies),
                         [](const testing::TestParamInfo<RefusedReply>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zelto::sdk
