#include <gtest/gtest.h>

#include "engine_api/engine_error.hpp"
#include "engine_api/tensor_dtype.hpp"
#include "engine_api/unicode_lower.hpp"

namespace zelto::engine_api {
namespace {

struct TextError : SourceError {
    std::string text() const override { return "weights missing"; }
};

TEST(EngineError, DisplayTexts) {
    const auto make = [](EngineError::Kind kind) { return EngineError{kind, "m", nullptr}; };
    EXPECT_EQ(make(EngineError::Kind::Backend).display(), "Backend error: m");
    EXPECT_EQ(make(EngineError::Kind::InvalidInput).display(), "Invalid input: m");
    EXPECT_EQ(make(EngineError::Kind::ModelNotLoaded).display(), "Model not loaded");
    EXPECT_EQ(make(EngineError::Kind::Overloaded).display(), "System overloaded: m");
    EXPECT_EQ(make(EngineError::Kind::Inference).display(), "Inference error: m");
    EXPECT_EQ(make(EngineError::Kind::Timeout).display(), "Timeout: m");
    EXPECT_EQ(make(EngineError::Kind::ResourceExhausted).display(), "Resource exhausted: m");
    EXPECT_EQ(make(EngineError::Kind::Cancelled).display(), "Cancelled: m");
    const EngineError load{EngineError::Kind::ModelLoad, "resnet", std::make_shared<TextError>()};
    EXPECT_EQ(load.display(), "Model load error for resnet: weights missing");
    // The source never shows in the other variants.
    const EngineError backend{EngineError::Kind::Backend, "m", std::make_shared<TextError>()};
    EXPECT_EQ(backend.display(), "Backend error: m");
    EXPECT_EQ(static_cast<int>(EngineError::Kind::Cancelled), 8);
}

TEST(ParseDtype, AcceptsEveryFormInAnyCase) {
    const std::pair<const char*, TensorDtype> cases[] = {
        {"float32", TensorDtype::Float32}, {"FLOAT32", TensorDtype::Float32},
        {"Fp32", TensorDtype::Float32},    {"float64", TensorDtype::Float64},
        {"FP64", TensorDtype::Float64},    {"Float16", TensorDtype::Float16},
        {"Fp16", TensorDtype::Float16},    {"int32", TensorDtype::Int32},
        {"I32", TensorDtype::Int32},       {"INT64", TensorDtype::Int64},
        {"i64", TensorDtype::Int64},       {"uint8", TensorDtype::Uint8},
        {"U8", TensorDtype::Uint8},        {"String", TensorDtype::String},
        {"UTF8", TensorDtype::String},
    };
    for (const auto& [text, dtype] : cases) {
        auto parsed = parse_dtype(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed, dtype) << text;
    }
}

TEST(ParseDtype, RejectsWithTheLowerCasedText) {
    const std::pair<const char*, const char*> cases[] = {
        {" float32", "Invalid input: Unsupported dtype:  float32"},
        {"float", "Invalid input: Unsupported dtype: float"},
        {"BOGUS", "Invalid input: Unsupported dtype: bogus"},
        {"", "Invalid input: Unsupported dtype: "},
        {"float32\n", "Invalid input: Unsupported dtype: float32\n"},
        // Full Unicode lower-casing, not only ASCII: capital I with dot above becomes two code
        // points, so it never matches "int32".
        {"\xC4\xB0NT32", "Invalid input: Unsupported dtype: i\xCC\x87nt32"},
        {"\xC3\x89T\xC3\x89", "Invalid input: Unsupported dtype: \xC3\xA9t\xC3\xA9"},
    };
    for (const auto& [text, message] : cases) {
        auto parsed = parse_dtype(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error().kind, EngineError::Kind::InvalidInput);
        EXPECT_EQ(parsed.error().display(), message);
    }
}

TEST(UnicodeLower, MappingsBeyondAscii) {
    EXPECT_EQ(unicode_lower("\xCE\xA3\xCE\x91"), "\xCF\x83\xCE\xB1");  // ΣΑ -> σα
    // Capital sigma at the end of a word becomes final sigma.
    EXPECT_EQ(unicode_lower("\xCE\x91\xCE\xA3"), "\xCE\xB1\xCF\x82");      // ΑΣ -> ας
    EXPECT_EQ(unicode_lower("\xCE\x91\xCE\xA3 x"), "\xCE\xB1\xCF\x82 x");  // word end
    EXPECT_EQ(unicode_lower("\xCE\xA3"), "\xCF\x83");                      // alone: σ
    EXPECT_EQ(unicode_lower("\xE2\x84\xAA"), "k");                         // Kelvin sign
    EXPECT_EQ(unicode_lower("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");      // Deseret
    EXPECT_EQ(unicode_lower("\xC7\x85"), "\xC7\x86");                      // titlecase Dž
    EXPECT_EQ(unicode_lower("\xC3\x9F"), "\xC3\x9F");                      // ß has no lower form
    EXPECT_EQ(unicode_lower("A\xFF"
                            "B"),
              "a\xFF"
              "b");  // raw bytes pass through
}

}  // namespace
}  // namespace zelto::engine_api
