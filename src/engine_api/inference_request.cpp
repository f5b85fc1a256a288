#include "engine_api/inference_request.hpp"

#include <limits>

#include "engine_api/record_writer.hpp"

namespace zelto::engine_api {
namespace {

constexpr std::uint64_t kLengthPrefix = 8;
constexpr std::uint64_t kTag = 1;

std::uint64_t string_size(std::string_view text) {
    return kLengthPrefix + text.size();
}

template <class T>
std::uint64_t optional_size(const std::optional<T>& value) {
    return kTag + (value ? sizeof(T) : 0);
}
std::uint64_t optional_size(const std::optional<std::string>& text) {
    return kTag + (text ? string_size(*text) : 0);
}

}  // namespace

std::uint64_t tensor_payload_size(const TensorView& tensor) {
    return kLengthPrefix + sizeof(std::int64_t) * std::uint64_t{tensor.shape.size()} +
           string_size(dtype_name(tensor.dtype)) + kTag + kLengthPrefix + tensor.data.size() + kTag;
}

std::uint64_t metadata_encoded_size(const RequestMetadata& m) {
    std::uint64_t size = optional_size(m.opt_text_1) + optional_size(m.opt_u64_1) +
                         optional_size(m.opt_u8) + optional_size(m.opt_flag) +
                         optional_size(m.opt_text_2);
    if (m.api_token) size += kTag + string_size(*m.api_token);
    size += optional_size(m.opt_i32_1) + optional_size(m.opt_f32_1) + optional_size(m.opt_f32_2) +
            optional_size(m.opt_i32_2) + optional_size(m.opt_f32_3) + optional_size(m.opt_u64_2);
    size += kTag;
    if (m.opt_u32_list) size += kLengthPrefix + sizeof(std::uint32_t) * m.opt_u32_list->size();
    return size;
}

std::uint64_t encoded_size(const InferenceRequest& request) {
    std::uint64_t size = tensor_payload_size(request.input);
    size += kLengthPrefix;
    for (const NamedTensor& named : request.additional_inputs) {
        size += string_size(named.name) + tensor_payload_size(named.tensor);
    }
    size += kTag + (request.session_id ? string_size(*request.session_id) : 0);
    size += kTag + (request.metadata ? metadata_encoded_size(*request.metadata) : 0);
    return size;
}

namespace detail {

void RecordWriter::put_tensor(const TensorView& tensor) {
    put_length(tensor.shape.size());
    for (std::int64_t dim : tensor.shape) out_.put(dim);
    put_string(dtype_name(tensor.dtype));
    put_tag(true);  // data: always present
    put_length(tensor.data.size());
    put_data(tensor.data);
    put_tag(false);  // data_base64: always absent
}

void RecordWriter::put_metadata(const RequestMetadata& m) {
    put_optional(m.opt_text_1);
    put_optional(m.opt_u64_1);
    put_optional(m.opt_u8);
    put_optional(m.opt_flag);
    put_optional(m.opt_text_2);
    if (m.api_token) {  // present: tag and string; absent: nothing at all
        put_tag(true);
        put_string(*m.api_token);
    }
    put_optional(m.opt_i32_1);
    put_optional(m.opt_f32_1);
    put_optional(m.opt_f32_2);
    put_optional(m.opt_i32_2);
    put_optional(m.opt_f32_3);
    put_optional(m.opt_u64_2);
    put_tag(m.opt_u32_list.has_value());
    if (m.opt_u32_list) {
        put_length(m.opt_u32_list->size());
        for (std::uint32_t value : *m.opt_u32_list) out_.put(value);
    }
}

void RecordWriter::put_request(const InferenceRequest& request) {
    put_tensor(request.input);
    put_length(request.additional_inputs.size());
    for (const NamedTensor& named : request.additional_inputs) {
        put_string(named.name);
        put_tensor(named.tensor);
    }
    put_tag(request.session_id.has_value());
    if (request.session_id) put_string(*request.session_id);
    put_tag(request.metadata.has_value());
    if (request.metadata) put_metadata(*request.metadata);
}

}  // namespace detail

Result<ByteBuffer, std::string> encode(const InferenceRequest& request) {
    const std::uint64_t size = encoded_size(request);
    std::optional<ByteBuffer> buffer;
    if (size <= std::numeric_limits<std::size_t>::max()) {
        buffer = ByteBuffer::allocate(static_cast<std::size_t>(size));
    }
    if (!buffer)
        return unexpected("memory allocation of " + std::to_string(size) + " bytes failed");

    detail::RecordWriter out(buffer->data());
    out.put_request(request);
    return std::move(*buffer);
}

}  // namespace zelto::engine_api
