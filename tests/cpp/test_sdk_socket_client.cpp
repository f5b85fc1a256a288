#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "sdk/socket/socket_client.hpp"

namespace zelto::sdk {
namespace {

using Bytes = std::vector<std::uint8_t>;
using transport::ReadWriteConnection;

struct Pair {
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client = std::make_unique<ReadWriteConnection>(UniqueFd(fds[0]));
        peer.reset(fds[1]);
    }
    void send(const Bytes& bytes) const {
        ASSERT_EQ(::send(peer.get(), bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::unique_ptr<ReadWriteConnection> client;
    UniqueFd peer;
};

Bytes stream_frame(std::uint32_t kind, const Bytes& body) {
    // Sized once and filled with memcpy: GCC 12 at -O3 misreads an insert behind the 8-byte
    // header as an out-of-bounds copy (-Warray-bounds).
    Bytes out(8 + body.size());
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(kind >> (8 * i));
        out[4 + i] = static_cast<std::uint8_t>(body.size() >> (8 * i));
    }
    if (!body.empty()) std::memcpy(out.data() + 8, body.data(), body.size());
    return out;
}

// One unary attempt through exchange_unary, the reply tensor copied out.
Result<engine_api::BinaryTensorPacket, ClientError> exchange_copy(
    ReadWriteConnection& connection, const PreparedInfer& request,
    const std::optional<std::string>& api_token = std::nullopt) {
    engine_api::BinaryTensorPacket packet;
    auto done = exchange_unary(
        connection, request, api_token,
        [&](const engine_api::TensorPacketView& view) { packet = view.to_owned(); },
        &no_destination);
    if (!done) return unexpected(std::move(done).error());
    return packet;
}

const Bytes kPacket = {0, 0,   0,   0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0,
                       0, 'u', '8', 1, 2, 0, 0, 0, 0, 0, 0, 0, 7, 8, 0};

TEST(SocketClient, RequestOf4GiBIsAProtocolErrorBeforeAnyWrite) {
    const std::size_t four_gib = std::size_t{1} << 32;
    void* mapping =
        mmap(nullptr, four_gib, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    PreparedInfer request{
        1, {{}, "uint8", {static_cast<const std::uint8_t*>(mapping), four_gib}}, {}, std::nullopt};
    Pair pair;
    auto result = exchange_copy(*pair.client, request);
    munmap(mapping, four_gib);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ClientError::Kind::Protocol);
    EXPECT_EQ(
        result.error().message,
        "request payload of 4294967337 bytes does not fit a frame (at most 4294967295 bytes)");
    char byte;
    EXPECT_EQ(::recv(pair.peer.get(), &byte, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(SocketClient, AdditionalDtypesAreParsedInOrder) {
    const Bytes data{1};
    const std::vector<NamedTensorInput> named{
        {"a", {{}, "FP16", data}}, {"b", {{}, "Bad", data}}, {"c", {{}, "worse", data}}};
    auto prepared = prepare_infer({1, {{}, "uint8", data}, named, std::nullopt});
    ASSERT_FALSE(prepared);
    EXPECT_EQ(prepared.error().kind, ClientError::Kind::InvalidRequest);
    EXPECT_EQ(prepared.error().message, "Invalid input: Unsupported dtype: bad");

    auto ok = prepare_infer({1, {{}, "nonsense", data}, {named.data(), 1}, std::nullopt});
    ASSERT_TRUE(ok);  // the main dtype waits for its own step
    EXPECT_EQ(ok->additional_inputs.at(0).tensor.dtype, engine_api::TensorDtype::Float16);
}

TEST(SocketClient, UnaryExchangeOnOneConnection) {
    const std::optional<std::string> token("t");
    const Bytes data{7, 8};
    PreparedInfer request{9, {{}, "u8", data}, {}, std::nullopt};
    Pair pair;
    Bytes reply = {0, 0, 0, 0, static_cast<std::uint8_t>(kPacket.size()), 0, 0, 0};
    reply.insert(reply.end(), kPacket.begin(), kPacket.end());
    pair.send(reply);
    pair.send({3, 0, 0, 0, 4, 0, 0, 0, 'b', 'u', 's', 'y'});
    auto first = exchange_copy(*pair.client, request, token);
    ASSERT_TRUE(first) << first.error().message;
    EXPECT_EQ(first->data, data);
    auto second = exchange_copy(*pair.client, request, token);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().kind, ClientError::Kind::Remote);
    EXPECT_EQ(second.error().message, "busy");
    pair.peer.reset();
    auto third = exchange_copy(*pair.client, request, token);
    ASSERT_FALSE(third);
    EXPECT_EQ(third.error().kind, ClientError::Kind::Io);
}

TEST(StreamItems, EachFrameKind) {
    Pair pair;
    pair.send(stream_frame(2, kPacket));
    pair.send(stream_frame(1, {'n', 'o', 0xFF}));
    pair.send(stream_frame(2, {}));
    pair.send(stream_frame(9, {1, 2, 3}));
    pair.send(stream_frame(2, {0}));
    pair.send(stream_frame(3, {}));
    const auto expect = [&](StreamStep::Kind kind, const Bytes& data, const std::string& message) {
        StreamStep step = next_stream_item(*pair.client);
        EXPECT_EQ(step.kind, kind);
        EXPECT_EQ(step.data, data);
        EXPECT_EQ(step.message, message);
    };
    expect(StreamStep::Kind::Item, {7, 8}, "");
    expect(StreamStep::Kind::Error, {}, "no\xEF\xBF\xBD");
    expect(StreamStep::Kind::End, {}, "");
    expect(StreamStep::Kind::End, {}, "");
    expect(StreamStep::Kind::Error, {}, "io error: unexpected end of file");
    expect(StreamStep::Kind::End, {}, "");
    pair.peer.reset();
    expect(StreamStep::Kind::Error, {}, "failed to fill whole buffer");
}

}  // namespace
}  // namespace zelto::sdk
