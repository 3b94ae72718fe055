#pragma once
// The sample converters of the driver host: one input converter (driver sample type -> float) and
// one output converter (float -> driver sample type) per sample type a driver can report. Each
// converter holds a function for 32-bit float buffers and one for 64-bit float buffers; the host
// uses the 32-bit ones. Buffers are contiguous, one channel per buffer, `count` samples (>= 1).
//
// Rules, per type: integers are assembled in the type's byte order, read as signed numbers of
// the container's width and multiplied by 1 / (2^(n-1) - 1) of their significant width n
// (computed in double precision, then stored as the nearest float). The little-endian packed
// 24-bit type is the exception: its value shifted left by 8 is scaled by 1 / 2147483647.
// Outputs multiply by 2^(n-1) - 1 and round to the nearest integer, ties to even; values beyond
// the type's range are clamped to it.
//
// Threads: pure functions; any thread. They allocate nothing (they run on the driver's callback
// thread for every buffer).

#include <cstddef>
#include <cstdint>

namespace velk {

// The driver sample types (the numbers drivers report in their channel information).
enum AsioSampleType : std::int32_t {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,
    ASIOSTFloat64MSB = 4,
    ASIOSTInt32MSB16 = 8,
    ASIOSTInt32MSB18 = 9,
    ASIOSTInt32MSB20 = 10,
    ASIOSTInt32MSB24 = 11,
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,
    ASIOSTFloat64LSB = 20,
    ASIOSTInt32LSB16 = 24,
    ASIOSTInt32LSB18 = 25,
    ASIOSTInt32LSB20 = 26,
    ASIOSTInt32LSB24 = 27,
};

struct TInConverter {
    void (*ic32)(const void* source, float* target, std::size_t count) = nullptr;
    void (*ic64)(const void* source, double* target, std::size_t count) = nullptr;
};

struct TOutConverter {
    void (*oc32)(const float* source, void* target, std::size_t count) = nullptr;
    void (*oc64)(const double* source, void* target, std::size_t count) = nullptr;
};

// Rounds to the nearest integer, ties to even, for |v| < 2^51: adding 1.5 * 2^52 leaves no
// fraction bits, so the addition rounds by the default rule. Much faster than nearbyint() where
// the processor has no rounding instruction, and exact (the compiler may not fold the two steps
// without -ffast-math, which this project does not use).
inline double roundtoeven(double v)
{
    constexpr double magic = 6755399441055744.0;
    return (v + magic) - magic;
}

// The converters of sample type `code`; raise EVelkError "Converter type unknown" for a code
// without converters.
TInConverter inconverter(std::int32_t code);
TOutConverter outconverter(std::int32_t code);
// Bytes per sample in the driver buffer of type `code`; 0 for an unknown code.
std::size_t samplewidth(std::int32_t code);
// The type's name ("Int24LSB"), or "" for an unknown code.
const char* sampletypename(std::int32_t code);

}  // namespace velk
