#include "engine/request_decoder.hpp"

#include "engine_api/tensor_packet.hpp"

namespace zelto::engine {
namespace {

using namespace engine_api;

#define ZELTO_TRY_READ(target, expression)                                   \
    do {                                                                     \
        auto zelto_value = (expression);                                     \
        if (!zelto_value) return unexpected(std::move(zelto_value).error()); \
        target = std::move(*zelto_value);                                    \
    } while (false)

template <class T, class Read>
Result<std::optional<T>, DecodeError> read_optional(RecordReader& reader, Read read) {
    auto present = reader.tag();
    if (!present) return unexpected(std::move(present).error());
    if (!*present) return std::optional<T>{};
    auto value = read();
    if (!value) return unexpected(std::move(value).error());
    return std::optional<T>{std::move(*value)};
}

Result<RequestMetadata, DecodeError> read_metadata(RecordReader& reader, bool with_token) {
    RequestMetadata m;
    ZELTO_TRY_READ(m.opt_text_1,
                   read_optional<std::string>(reader, [&] { return reader.string(); }));
    ZELTO_TRY_READ(m.opt_u64_1, read_optional<std::uint64_t>(reader, [&] { return reader.u64(); }));
    ZELTO_TRY_READ(m.opt_u8, read_optional<std::uint8_t>(reader, [&] { return reader.u8(); }));
    ZELTO_TRY_READ(m.opt_flag, read_optional<bool>(reader, [&] { return reader.boolean(); }));
    ZELTO_TRY_READ(m.opt_text_2,
                   read_optional<std::string>(reader, [&] { return reader.string(); }));
    if (with_token) {
        auto tag = reader.u8();
        if (!tag) return unexpected(std::move(tag).error());
        if (*tag != 1) return unexpected(DecodeError{"api_token tag must be 1"});
        ZELTO_TRY_READ(m.api_token, reader.string());
    }
    ZELTO_TRY_READ(m.opt_i32_1, read_optional<std::int32_t>(reader, [&] { return reader.i32(); }));
    ZELTO_TRY_READ(m.opt_f32_1, read_optional<float>(reader, [&] { return reader.f32(); }));
    ZELTO_TRY_READ(m.opt_f32_2, read_optional<float>(reader, [&] { return reader.f32(); }));
    ZELTO_TRY_READ(m.opt_i32_2, read_optional<std::int32_t>(reader, [&] { return reader.i32(); }));
    ZELTO_TRY_READ(m.opt_f32_3, read_optional<float>(reader, [&] { return reader.f32(); }));
    ZELTO_TRY_READ(m.opt_u64_2, read_optional<std::uint64_t>(reader, [&] { return reader.u64(); }));
    auto list_present = reader.tag();
    if (!list_present) return unexpected(std::move(list_present).error());
    if (*list_present) {
        auto count = reader.u64();
        if (!count) return unexpected(std::move(count).error());
        if (*count > reader.remaining() / sizeof(std::uint32_t)) {
            return unexpected(RecordReader::end_of_file());
        }
        std::vector<std::uint32_t> values;
        values.reserve(static_cast<std::size_t>(*count));
        for (std::uint64_t i = 0; i < *count; ++i) {
            auto value = reader.u32();
            if (!value) return unexpected(std::move(value).error());
            values.push_back(*value);
        }
        m.opt_u32_list = std::move(values);
    }
    return m;
}

// The rest of the record after the main input, which `request` already holds and `reader` has
// just read.
template <class Input>
Result<BasicDecodedRequest<Input>, DecodeError> decode_rest(std::span<const std::uint8_t> bytes,
                                                            RecordReader& reader,
                                                            BasicDecodedRequest<Input> request) {
    std::uint64_t count = 0;
    ZELTO_TRY_READ(count, reader.u64());
    for (std::uint64_t i = 0; i < count; ++i) {
        DecodedNamedTensor named;
        ZELTO_TRY_READ(named.name, reader.string());
        ZELTO_TRY_READ(named.tensor, read_tensor_packet(reader));
        request.additional_inputs.push_back(std::move(named));
    }
    ZELTO_TRY_READ(request.session_id,
                   read_optional<std::string>(reader, [&] { return reader.string(); }));

    auto metadata_present = reader.tag();
    if (!metadata_present) return unexpected(std::move(metadata_present).error());
    if (*metadata_present) {
        const std::size_t start = reader.offset();
        std::optional<DecodeError> first_error;
        for (bool with_token : {true, false}) {
            RecordReader attempt(bytes.subspan(start));
            auto metadata = read_metadata(attempt, with_token);
            if (metadata && attempt.remaining() == 0) {
                request.metadata = std::move(*metadata);
                return request;
            }
            if (!first_error) {
                first_error = metadata ? DecodeError{"trailing bytes after the request"}
                                       : std::move(metadata).error();
            }
        }
        return unexpected(std::move(*first_error));
    }
    if (reader.remaining() != 0) return unexpected(DecodeError{"trailing bytes after the request"});
    return request;
}

}  // namespace

Result<DecodedRequest, DecodeError> decode_inference_request(std::span<const std::uint8_t> bytes) {
    RecordReader reader(bytes);
    DecodedRequest request;
    ZELTO_TRY_READ(request.input, read_tensor_packet(reader));
    return decode_rest(bytes, reader, std::move(request));
}

Result<DecodedRequestView, DecodeError> decode_inference_request_view(
    std::span<const std::uint8_t> bytes) {
    RecordReader reader(bytes);
    DecodedRequestView request;
    ZELTO_TRY_READ(request.input, read_tensor_packet_view(reader));
    return decode_rest(bytes, reader, std::move(request));
}

#undef ZELTO_TRY_READ

}  // namespace zelto::engine
