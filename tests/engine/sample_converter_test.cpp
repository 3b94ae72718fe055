// The driver sample converters: the table of types, the worked examples, byte orders, rounding
// with ties to even, clamping, and the 64-bit variants.

#include "engine/sample_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/errors.h"

namespace velk {
namespace {

using Bytes = std::vector<std::uint8_t>;

float in32(std::int32_t code, const Bytes& bytes)
{
    float out = -123.0f;
    inconverter(code).ic32(bytes.data(), &out, 1);
    return out;
}

Bytes out32(std::int32_t code, float value)
{
    Bytes out(samplewidth(code), 0xAA);
    outconverter(code).oc32(&value, out.data(), 1);
    return out;
}

// The expected float: the integer scaled by 1/(2^(n-1)-1) in long double, stored as a float.
float scaled(long double value, long double fullscale) { return static_cast<float>(value / fullscale); }
const float f16 = static_cast<float>(1.0 / 32767.0);
float scaled16(double value) { return static_cast<float>(value * static_cast<double>(f16)); }

struct InCase {
    std::int32_t code;
    Bytes bytes;
    float expected;
};

TEST(SampleConverter, InputsFollowTheRulesOfEveryType)
{
    const InCase cases[] = {
        // 16-bit, both orders
        {ASIOSTInt16LSB, {0xFF, 0x7F}, 1.0f},
        {ASIOSTInt16LSB, {0x00, 0x80}, scaled16(-32768)},
        {ASIOSTInt16LSB, {0x00, 0x00}, 0.0f},
        {ASIOSTInt16LSB, {0x01, 0x80}, -1.0f},
        {ASIOSTInt16LSB, {0x00, 0x40}, scaled16(16384)},
        {ASIOSTInt16MSB, {0x7F, 0xFF}, 1.0f},
        {ASIOSTInt16MSB, {0xC0, 0x00}, scaled16(-16384)},
        // packed 24-bit: big scales the value, little scales value * 256 by 1/(2^31-1)
        {ASIOSTInt24MSB, {0x7F, 0xFF, 0xFF}, 1.0f},
        {ASIOSTInt24MSB, {0x00, 0x00, 0x00}, 0.0f},
        {ASIOSTInt24MSB, {0x80, 0x00, 0x01}, -1.0f},
        {ASIOSTInt24MSB, {0x80, 0x00, 0x00}, scaled(-8388608, 8388607)},
        {ASIOSTInt24MSB, {0x00, 0x00, 0x01}, scaled(1, 8388607)},
        {ASIOSTInt24LSB, {0xFF, 0xFF, 0x7F}, scaled(8388607.0L * 256, 2147483647)},
        {ASIOSTInt24LSB, {0x00, 0x00, 0x80}, -1.0f},
        {ASIOSTInt24LSB, {0x01, 0x00, 0x00}, scaled(256, 2147483647)},
        // 32-bit
        {ASIOSTInt32LSB, {0xFF, 0xFF, 0xFF, 0x7F}, 1.0f},
        {ASIOSTInt32LSB, {0x00, 0x00, 0x00, 0x80}, scaled(-2147483648.0L, 2147483647)},
        {ASIOSTInt32LSB, {0x00, 0x00, 0x00, 0x40}, scaled(1073741824, 2147483647)},
        {ASIOSTInt32MSB, {0x7F, 0xFF, 0xFF, 0xFF}, 1.0f},
        {ASIOSTInt32MSB, {0x00, 0x00, 0x01, 0x00}, scaled(256, 2147483647)},
        // right-aligned containers: the whole container is scaled, nothing masked
        {ASIOSTInt32LSB16, {0xFF, 0x7F, 0x00, 0x00}, 1.0f},
        {ASIOSTInt32LSB16, {0x01, 0x80, 0xFF, 0xFF}, -1.0f},
        {ASIOSTInt32LSB16, {0x00, 0x00, 0x01, 0x00}, scaled16(65536)},
        {ASIOSTInt32LSB18, {0xFF, 0xFF, 0x01, 0x00}, 1.0f},
        {ASIOSTInt32LSB18, {0x00, 0x00, 0xFE, 0xFF}, scaled(-131072, 131071)},
        {ASIOSTInt32LSB20, {0xFF, 0xFF, 0x07, 0x00}, 1.0f},
        {ASIOSTInt32LSB20, {0x01, 0x00, 0x00, 0x00}, scaled(1, 524287)},
        {ASIOSTInt32LSB24, {0xFF, 0xFF, 0x7F, 0x00}, 1.0f},
        {ASIOSTInt32LSB24, {0x00, 0x00, 0x80, 0xFF}, scaled(-8388608, 8388607)},
        {ASIOSTInt32MSB16, {0x00, 0x00, 0x7F, 0xFF}, 1.0f},
        {ASIOSTInt32MSB16, {0xFF, 0xFF, 0x80, 0x01}, -1.0f},
        {ASIOSTInt32MSB18, {0x00, 0x01, 0xFF, 0xFF}, 1.0f},
        {ASIOSTInt32MSB20, {0x00, 0x07, 0xFF, 0xFF}, 1.0f},
        {ASIOSTInt32MSB24, {0x00, 0x7F, 0xFF, 0xFF}, 1.0f},
        {ASIOSTInt32MSB24, {0x00, 0x40, 0x00, 0x00}, scaled(4194304, 8388607)},
        // floats
        {ASIOSTFloat32MSB, {0x3F, 0x80, 0x00, 0x00}, 1.0f},
        {ASIOSTFloat32MSB, {0xBF, 0x00, 0x00, 0x00}, -0.5f},
        {ASIOSTFloat32LSB, {0x00, 0x00, 0x80, 0x3F}, 1.0f},
        {ASIOSTFloat32LSB, {0x00, 0x00, 0xC0, 0x3F}, 1.5f},
        {ASIOSTFloat64LSB, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, 1.0f},
        {ASIOSTFloat64LSB, {0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}, 0.1f},
        {ASIOSTFloat64MSB, {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, 1.0f},
        {ASIOSTFloat64MSB, {0xC0, 0x00, 0, 0, 0, 0, 0, 0}, -2.0f},
    };
    for (const InCase& c : cases) {
        const float got = in32(c.code, c.bytes);
        EXPECT_EQ(std::memcmp(&got, &c.expected, sizeof got), 0)
            << sampletypename(c.code) << ": got " << got << " expected " << c.expected;
    }
}

TEST(SampleConverter, WorkedExamplesHaveTheirDocumentedValues)
{
    EXPECT_NEAR(in32(ASIOSTInt16LSB, {0x00, 0x80}), -1.0000305, 1e-7);
    EXPECT_NEAR(in32(ASIOSTInt24LSB, {0xFF, 0xFF, 0x7F}), 0.99999988, 1e-8);
    EXPECT_NEAR(in32(ASIOSTInt24MSB, {0x80, 0x00, 0x00}), -1.00000012, 1e-8);
}

struct OutCase {
    std::int32_t code;
    float value;
    Bytes expected;
};

TEST(SampleConverter, OutputsRoundTiesToEvenInTheTypesByteOrder)
{
    const OutCase cases[] = {
        {ASIOSTInt16LSB, 0.5f, {0x00, 0x40}},  // 16383.5 -> 16384
        {ASIOSTInt16LSB, 0.0f, {0x00, 0x00}},
        {ASIOSTInt16LSB, 1.0f, {0xFF, 0x7F}},
        {ASIOSTInt16LSB, -1.0f, {0x01, 0x80}},
        {ASIOSTInt16LSB, -0.5f, {0x00, 0xC0}},  // -16383.5 -> -16384
        {ASIOSTInt16MSB, 0.5f, {0x40, 0x00}},
        {ASIOSTInt24LSB, 1.0f, {0xFF, 0xFF, 0x7F}},
        {ASIOSTInt24LSB, -1.0f, {0x01, 0x00, 0x80}},
        {ASIOSTInt24LSB, 0.5f, {0x00, 0x00, 0x40}},  // 4194303.5 -> 4194304
        {ASIOSTInt24MSB, 0.5f, {0x40, 0x00, 0x00}},
        {ASIOSTInt24MSB, -1.0f, {0x80, 0x00, 0x01}},
        {ASIOSTInt32LSB, 1.0f, {0xFF, 0xFF, 0xFF, 0x7F}},
        {ASIOSTInt32LSB, 0.5f, {0x00, 0x00, 0x00, 0x40}},  // 1073741823.5 -> 1073741824
        {ASIOSTInt32LSB, -0.5f, {0x00, 0x00, 0x00, 0xC0}},
        {ASIOSTInt32MSB, 0.25f, {0x20, 0x00, 0x00, 0x00}},  // 536870911.75 -> 536870912
        {ASIOSTInt32LSB16, 0.5f, {0x00, 0x40, 0x00, 0x00}},
        {ASIOSTInt32LSB16, -1.0f, {0x01, 0x80, 0xFF, 0xFF}},
        {ASIOSTInt32LSB18, 1.0f, {0xFF, 0xFF, 0x01, 0x00}},
        {ASIOSTInt32LSB20, 0.5f, {0x00, 0x00, 0x04, 0x00}},  // 262143.5 -> 262144
        {ASIOSTInt32LSB24, -1.0f, {0x01, 0x00, 0x80, 0xFF}},
        {ASIOSTInt32MSB16, 1.0f, {0x00, 0x00, 0x7F, 0xFF}},
        {ASIOSTInt32MSB18, -1.0f, {0xFF, 0xFE, 0x00, 0x01}},
        {ASIOSTInt32MSB20, 1.0f, {0x00, 0x07, 0xFF, 0xFF}},
        {ASIOSTInt32MSB24, 0.5f, {0x00, 0x40, 0x00, 0x00}},
        {ASIOSTFloat32LSB, 1.0f, {0x00, 0x00, 0x80, 0x3F}},
        {ASIOSTFloat32MSB, 1.0f, {0x3F, 0x80, 0x00, 0x00}},
        {ASIOSTFloat64LSB, 1.0f, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {ASIOSTFloat64MSB, -2.0f, {0xC0, 0x00, 0, 0, 0, 0, 0, 0}},
        // beyond full scale: clamped to the significant width
        {ASIOSTInt16LSB, 2.0f, {0xFF, 0x7F}},
        {ASIOSTInt16LSB, -2.0f, {0x00, 0x80}},
        {ASIOSTInt24LSB, 1.5f, {0xFF, 0xFF, 0x7F}},
        {ASIOSTInt32LSB, 3.0f, {0xFF, 0xFF, 0xFF, 0x7F}},
        {ASIOSTInt32LSB16, 4.0f, {0xFF, 0x7F, 0x00, 0x00}},
        {ASIOSTInt32MSB24, -4.0f, {0xFF, 0x80, 0x00, 0x00}},
    };
    for (const OutCase& c : cases)
        EXPECT_EQ(out32(c.code, c.value), c.expected) << sampletypename(c.code) << " of " << c.value;
}

TEST(SampleConverter, IntegersOfUpTo24SignificantBitsSurviveTheRoundTrip)
{
    struct Type {
        std::int32_t code;
        int bits;
    };
    const Type types[] = {{ASIOSTInt16LSB, 16}, {ASIOSTInt16MSB, 16}, {ASIOSTInt24MSB, 24},
                          {ASIOSTInt32LSB16, 16}, {ASIOSTInt32LSB18, 18}, {ASIOSTInt32LSB20, 20},
                          {ASIOSTInt32LSB24, 24}, {ASIOSTInt32MSB16, 16}, {ASIOSTInt32MSB18, 18},
                          {ASIOSTInt32MSB20, 20}, {ASIOSTInt32MSB24, 24}};
    for (const Type& t : types) {
        const std::size_t width = samplewidth(t.code);
        const std::int64_t max = (std::int64_t{1} << (t.bits - 1)) - 1;
        std::vector<std::int64_t> values = {0, 1, -1, max, -max, max / 3, -max / 7, 12345 % max};
        for (std::int64_t v : values) {
            // Build the driver bytes by running the output converter on the exact float.
            Bytes bytes(width);
            const double exact = static_cast<double>(v) / static_cast<double>(max);
            outconverter(t.code).oc64(&exact, bytes.data(), 1);
            float f = 0;
            inconverter(t.code).ic32(bytes.data(), &f, 1);
            Bytes back(width);
            outconverter(t.code).oc32(&f, back.data(), 1);
            EXPECT_EQ(back, bytes) << sampletypename(t.code) << " value " << v;
        }
    }
}

TEST(SampleConverter, ConvertsWholeBuffersAndTheWideVariantsKeepPrecision)
{
    const Bytes buffer = {0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00};
    float f[5];
    inconverter(ASIOSTInt16LSB).ic32(buffer.data(), f, 5);
    EXPECT_EQ(f[0], 0.0f);
    EXPECT_EQ(f[1], scaled16(1));
    EXPECT_EQ(f[2], scaled16(-1));
    EXPECT_EQ(f[3], 1.0f);
    EXPECT_EQ(f[4], 0.0f);

    const Bytes int32 = {0x01, 0x00, 0x00, 0x00};
    double d = 0;
    inconverter(ASIOSTInt32LSB).ic64(int32.data(), &d, 1);
    EXPECT_EQ(d, 1.0 / 2147483647.0);
    const double big = 0.1;
    Bytes out(8);
    outconverter(ASIOSTFloat64MSB).oc64(&big, out.data(), 1);
    EXPECT_EQ(out, (Bytes{0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}));
}

TEST(SampleConverter, UnknownTypesHaveNoConverter)
{
    for (std::int32_t code : {5, 7, 12, 15, 21, 23, 28, -1, 100}) {
        try {
            inconverter(code);
            ADD_FAILURE() << code;
        } catch (const EVelkError& e) {
            EXPECT_STREQ(e.what(), "Converter type unknown");
        }
        EXPECT_THROW(outconverter(code), EVelkError);
        EXPECT_EQ(samplewidth(code), 0u);
    }
}

}  // namespace
}  // namespace velk
