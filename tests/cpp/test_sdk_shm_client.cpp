// The shared-memory client core against a region the test made, with the test playing the
// engine from a mapping of its own: the request it finds on the ring, byte for byte, and what
// the core makes of each answer the engine can give, good or malformed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/little_endian.hpp"
#include "sdk/shm/shm_client.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/tensor_block.hpp"
#include "support/test_shm_region.hpp"
#include "transport/request_metadata.hpp"

namespace zelto::sdk {
namespace {

using Bytes = std::vector<std::uint8_t>;
using shm::testing::EngineMapping;
using shm::testing::Layout;
using shm::testing::ShmObject;
using shm::testing::unique_name;

shm::ShmResponseEntry success(std::uint64_t id, std::uint64_t block_offset) {
    shm::ShmResponseEntry entry{};
    entry.request_id = id;
    entry.status = 0;
    entry.shm_offset = block_offset;
    return entry;
}

shm::ShmResponseEntry failure(std::uint64_t id, std::uint64_t error_offset) {
    shm::ShmResponseEntry entry{};
    entry.request_id = id;
    entry.status = 1;
    entry.error_offset = error_offset;
    return entry;
}

bool keep_polling() {
    return true;
}

class ShmClientCoreTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(engine.mapped());
        auto connected = ShmClientCore::connect(object.name());
        ASSERT_TRUE(connected) << connected.error();
        core = std::move(*connected);
    }

    // Queues a small int32 request [2, 3] with bytes 0..23.
    PendingShmRequest begin_request() {
        auto turn = core->try_take_turn();
        EXPECT_TRUE(turn.has_value());
        auto pending =
            core->begin(ShmInput{kDims, 2, "int32", input.data(), input.size()}, std::move(*turn));
        EXPECT_TRUE(pending) << pending.error().message;
        return std::move(*pending);
    }

    static constexpr std::int64_t kDims[2] = {2, 3};
    const Bytes input = [] {
        Bytes bytes(24);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
        return bytes;
    }();
    Layout layout{};
    ShmObject object{unique_name("shm-client"), layout.bytes()};
    EngineMapping engine{object.name(), layout};
    std::unique_ptr<ShmClientCore> core;
};

TEST_F(ShmClientCoreTest, EchoRoundTripCarriesTheExactRequestAndResultBytes) {
    const std::uint64_t before = transport::wall_clock_ns();
    PendingShmRequest pending = begin_request();
    const std::uint64_t after = transport::wall_clock_ns();

    auto request = engine.pop_request();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(load_le<std::uint64_t>(request->metadata), pending.id());
    EXPECT_EQ(Bytes(request->metadata + 8, request->metadata + 16), Bytes(8, 0));
    const auto stamp = load_le<std::uint64_t>(request->metadata + 16);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(request->shm_offset, pending.slot_offset());
    EXPECT_EQ(request->shm_size, 80u + input.size());
    ASSERT_LE(request->shm_offset + request->shm_size, engine.size());

    Bytes header(80, 0);
    store_le<std::uint32_t>(header.data(), 2);
    header[4] = 2;  // int32
    store_le<std::int64_t>(header.data() + 8, 2);
    store_le<std::int64_t>(header.data() + 16, 3);
    store_le<std::uint64_t>(header.data() + 72, input.size());
    const std::uint8_t* block = engine.at(request->shm_offset);
    EXPECT_EQ(Bytes(block, block + 80), header);
    EXPECT_EQ(Bytes(block + 80, block + 80 + input.size()), input);

    // The engine answers in the request's own slot, with bytes of its own.
    const Bytes result = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x7f};
    engine.write_block(request->shm_offset, result);
    ASSERT_TRUE(engine.publish(success(pending.id(), request->shm_offset)));

    auto entry = pending.poll_response(&keep_polling);
    ASSERT_TRUE(entry) << entry.error().message;
    auto view = pending.answer(*entry);
    ASSERT_TRUE(view) << view.error().message;
    ASSERT_EQ(view->size, result.size());
    Bytes copied(view->size, 0);
    ASSERT_TRUE(pending.copy_result(*view, copied.data()));
    EXPECT_EQ(copied, result);
}

// A malformed or failed answer, and the text the call ends with.
struct AnswerCase {
    const char* name;
    // Writes what the engine leaves in the region and returns its entry, given the request id,
    // the request's slot and the region size.
    shm::ShmResponseEntry (*answer)(const EngineMapping&, std::uint64_t id, std::uint64_t slot);
    // The expected message, given the request's slot and the region size.
    std::string (*message)(std::uint64_t slot, std::uint64_t size);
};

std::string invalid(const std::string& problem) {
    return "Invalid response from engine: " + problem;
}

std::string str(std::uint64_t value) {
    return std::to_string(value);
}

const AnswerCase kAnswerCases[] = {
    {"BlockAtTheRegionEnd",
     [](const EngineMapping& e, std::uint64_t id, std::uint64_t) { return success(id, e.size()); },
     [](std::uint64_t, std::uint64_t size) {
         return invalid("result tensor block at offset " + str(size) + " does not fit in the " +
                        str(size) + "-byte region");
     }},
    // 79 bytes are left: the header's data_len would lie past the mapping, so it is not read.
    {"HeaderOneByteShort",
     [](const EngineMapping& e, std::uint64_t id, std::uint64_t) {
         return success(id, e.size() - 79);
     },
     [](std::uint64_t, std::uint64_t size) {
         return invalid("result tensor block at offset " + str(size - 79) +
                        " does not fit in the " + str(size) + "-byte region");
     }},
    {"BlockOffsetWrapsAround",
     [](const EngineMapping&, std::uint64_t id, std::uint64_t) {
         return success(id, ~std::uint64_t{0} - 10);
     },
     [](std::uint64_t, std::uint64_t size) {
         return invalid("result tensor block at offset " + str(~std::uint64_t{0} - 10) +
                        " does not fit in the " + str(size) + "-byte region");
     }},
    {"DataLenPastTheEnd",
     [](const EngineMapping& e, std::uint64_t id, std::uint64_t slot) {
         e.write_block(slot, {});
         store_le<std::uint64_t>(e.at(slot + 72), e.size() - slot - 79);
         return success(id, slot);
     },
     [](std::uint64_t slot, std::uint64_t size) {
         return invalid("result tensor block at offset " + str(slot) + " claims " +
                        str(size - slot - 79) + " data bytes, more than the " + str(size) +
                        "-byte region holds");
     }},
    {"HugeDataLen",
     [](const EngineMapping& e, std::uint64_t id, std::uint64_t slot) {
         e.write_block(slot, {});
         store_le<std::uint64_t>(e.at(slot + 72), ~std::uint64_t{0});
         return success(id, slot);
     },
     [](std::uint64_t slot, std::uint64_t size) {
         return invalid("result tensor block at offset " + str(slot) + " claims " +
                        str(~std::uint64_t{0}) + " data bytes, more than the " + str(size) +
                        "-byte region holds");
     }},
    {"ErrorTextOffsetPastTheEnd",
     [](const EngineMapping& e, std::uint64_t id, std::uint64_t) {
         return failure(id, e.size() - 7);
     },
     [](std::uint64_t, std::uint64_t size) {
         return invalid("engine error text at offset " + str(size - 7) + " does not fit in the " +
                        str(size) + "-byte region");
     }},
    {"ErrorTextLengthPastTheEnd",
     [](const EngineMapping& e, std::uint64_t id, std::uint64_t slot) {
         store_le<std::uint64_t>(e.at(slot), e.size() - slot - 7);
         return failure(id, slot);
     },
     [](std::uint64_t slot, std::uint64_t size) {
         return invalid("engine error text at offset " + str(slot) + " claims " +
                        str(size - slot - 7) + " bytes, more than the " + str(size) +
                        "-byte region holds");
     }},
    {"NoErrorText",
     [](const EngineMapping&, std::uint64_t id, std::uint64_t) { return failure(id, 0); },
     [](std::uint64_t, std::uint64_t) { return std::string("Unknown error"); }},
    {"ErrorTextPassedThrough",
     [](const EngineMapping& e, std::uint64_t id, std::uint64_t slot) {
         e.write_text(slot, "model exploded: \xC3\xA9");
         return failure(id, slot);
     },
     [](std::uint64_t, std::uint64_t) { return std::string("model exploded: \xC3\xA9"); }},
    {"InvalidUtf8InErrorText",
     [](const EngineMapping& e, std::uint64_t id, std::uint64_t slot) {
         e.write_text(slot, "bad \xFF");
         return failure(id, slot);
     },
     [](std::uint64_t, std::uint64_t) { return std::string("bad \xEF\xBF\xBD"); }},
    {"EmptyErrorText",
     [](const EngineMapping& e, std::uint64_t id, std::uint64_t slot) {
         e.write_text(slot, "");
         return failure(id, slot);
     },
     [](std::uint64_t, std::uint64_t) { return std::string(); }},
};

class ShmClientAnswers : public ShmClientCoreTest,
                         public testing::WithParamInterface<AnswerCase> {};

TEST_P(ShmClientAnswers, AreRefusedOrPassedOnWithTheirText) {
    const AnswerCase& c = GetParam();
    PendingShmRequest pending = begin_request();
    auto request = engine.pop_request();
    ASSERT_TRUE(request.has_value());
    ASSERT_TRUE(engine.publish(c.answer(engine, pending.id(), request->shm_offset)));

    auto entry = pending.poll_response(&keep_polling);
    ASSERT_TRUE(entry) << entry.error().message;
    auto outcome = pending.answer(*entry);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message, c.message(request->shm_offset, engine.size()));
}

INSTANTIATE_TEST_SUITE_P(Cases, ShmClientAnswers, testing::ValuesIn(kAnswerCases),
                         [](const testing::TestParamInfo<AnswerCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ShmClientCoreTest, AnAnswerForAnotherIdIsDroppedAndTheCallsOwnReturned) {
    PendingShmRequest pending = begin_request();
    auto request = engine.pop_request();
    ASSERT_TRUE(request.has_value());
    engine.write_text(request->shm_offset, "not yours");
    ASSERT_TRUE(engine.publish(failure(pending.id() + 1000, request->shm_offset)));
    const std::uint64_t result_offset = request->shm_offset + 128;
    engine.write_block(result_offset, {1, 2, 3});
    ASSERT_TRUE(engine.publish(success(pending.id(), result_offset)));

    auto entry = pending.poll_response(&keep_polling);
    ASSERT_TRUE(entry) << entry.error().message;
    EXPECT_EQ(entry->request_id, pending.id());
    EXPECT_EQ(entry->shm_offset, result_offset);
    EXPECT_FALSE(engine.response_waiting());  // the stranger's entry is gone, not left queued
    auto view = pending.answer(*entry);
    ASSERT_TRUE(view) << view.error().message;
    Bytes copied(view->size, 0);
    ASSERT_TRUE(pending.copy_result(*view, copied.data()));
    EXPECT_EQ(copied, (Bytes{1, 2, 3}));
}

TEST_F(ShmClientCoreTest, AHookThatSaysStopEndsTheWaitForAMissingAnswerAtOnce) {
    PendingShmRequest pending = begin_request();
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    auto entry = pending.poll_response([&] { return ++calls < 3; });
    ASSERT_FALSE(entry);
    EXPECT_EQ(entry.error().kind, ShmCallError::Kind::Interrupted);
    EXPECT_EQ(calls, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(ShmClientCoreTest, TheSlotAndTheTurnComeBackWhenTheCallEnds) {
    std::uint64_t first_slot = 0;
    {
        PendingShmRequest pending = begin_request();
        first_slot = pending.slot_offset();
        EXPECT_FALSE(core->try_take_turn().has_value());  // one call at a time on the ring
    }
    PendingShmRequest again = begin_request();
    EXPECT_EQ(again.slot_offset(), first_slot);
}

}  // namespace
}  // namespace zelto::sdk
