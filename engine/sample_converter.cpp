#include "engine/sample_converter.h"

#include <cmath>
#include <cstring>
#include <type_traits>

#include "core/errors.h"

namespace velk {

namespace {

// Reads a signed integer of `Width` bytes in the given byte order.
template <int Width, bool Big>
inline std::int64_t readint(const std::uint8_t* p)
{
    std::uint64_t u = 0;
    for (int i = 0; i < Width; ++i)
        u = (u << 8) | p[Big ? i : Width - 1 - i];
    const std::uint64_t sign = std::uint64_t{1} << (Width * 8 - 1);
    return static_cast<std::int64_t>(u ^ sign) - static_cast<std::int64_t>(sign);
}

template <int Width, bool Big>
inline void writeint(std::uint8_t* p, std::int64_t v)
{
    auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < Width; ++i)
        p[Big ? Width - 1 - i : i] = static_cast<std::uint8_t>(u >> (8 * i));
}

// Full scale of a significant width n: 2^(n-1) - 1.
constexpr std::int64_t fullscale(int bits) { return (std::int64_t{1} << (bits - 1)) - 1; }

// The input factors as the converters hold them: 16 bits as the nearest float to 1/32767, the
// wider ones as doubles.
template <int Bits>
inline double infactor()
{
    if constexpr (Bits == 16)
        return static_cast<double>(static_cast<float>(1.0 / 32767.0));
    else
        return 1.0 / static_cast<double>(fullscale(Bits));
}

// Integer input: a container of Width bytes, significant width Bits; Shift is added to the
// value before scaling (the little-endian packed 24-bit type scales value * 256 by 1/(2^31-1)).
template <int Width, bool Big, int Bits, int Shift = 0>
struct IntType {
    static void in32(const void* source, float* target, std::size_t count)
    {
        const auto* s = static_cast<const std::uint8_t*>(source);
        const double f = infactor<Bits>();
        for (std::size_t i = 0; i < count; ++i, s += Width)
            target[i] = static_cast<float>(static_cast<double>(readint<Width, Big>(s) * (std::int64_t{1} << Shift)) * f);
    }
    static void in64(const void* source, double* target, std::size_t count)
    {
        const auto* s = static_cast<const std::uint8_t*>(source);
        const double f = infactor<Bits>();
        for (std::size_t i = 0; i < count; ++i, s += Width)
            target[i] = static_cast<double>(readint<Width, Big>(s) * (std::int64_t{1} << Shift)) * f;
    }

    // Output significant width: the packed 24-bit type writes 24-bit values whatever its input
    // scaling.
    static constexpr int outbits = Shift ? Bits - Shift : Bits;

    // Rounds x * full scale to the nearest integer, ties to even, exactly, and clamps to the
    // significant width. The product is formed in double; fma recovers its rounding error, which
    // decides the cases where the double product sits exactly on a half.
    static std::int64_t scale(double x)
    {
        const double max = static_cast<double>(fullscale(outbits));
        if (x != x)
            return 0;
        const double p = x * max;
        if (p >= max)
            return fullscale(outbits);
        if (p <= -max - 1)
            return -fullscale(outbits) - 1;
        const double err = std::fma(x, max, -p);
        double r = roundtoeven(p);
        const double f = p - r;
        if (f == 0.5 && err > 0)
            r += 1;
        else if (f == -0.5 && err < 0)
            r -= 1;
        return static_cast<std::int64_t>(r);
    }
    static void out32(const float* source, void* target, std::size_t count)
    {
        auto* t = static_cast<std::uint8_t*>(target);
        for (std::size_t i = 0; i < count; ++i, t += Width)
            writeint<Width, Big>(t, scale(source[i]));
    }
    static void out64(const double* source, void* target, std::size_t count)
    {
        auto* t = static_cast<std::uint8_t*>(target);
        for (std::size_t i = 0; i < count; ++i, t += Width)
            writeint<Width, Big>(t, scale(source[i]));
    }
};

template <class T, bool Big>
inline T readfloat(const std::uint8_t* p)
{
    std::uint8_t b[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i)
        b[i] = p[Big ? sizeof(T) - 1 - i : i];
    T v;
    std::memcpy(&v, b, sizeof(T));
    return v;
}

template <class T, bool Big>
inline void writefloat(std::uint8_t* p, T v)
{
    std::uint8_t b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i)
        p[Big ? sizeof(T) - 1 - i : i] = b[i];
}

// Floating-point types: bytes reversed for big-endian, values rounded to the target width.
template <class T, bool Big>
struct FloatType {
    static void in32(const void* source, float* target, std::size_t count)
    {
        // Little-endian 32-bit floats are already what the caller wants: a plain copy.
        if constexpr (std::is_same_v<T, float> && !Big) {
            std::memcpy(target, source, count * sizeof(float));
            return;
        }
        const auto* s = static_cast<const std::uint8_t*>(source);
        for (std::size_t i = 0; i < count; ++i, s += sizeof(T))
            target[i] = static_cast<float>(readfloat<T, Big>(s));
    }
    static void in64(const void* source, double* target, std::size_t count)
    {
        const auto* s = static_cast<const std::uint8_t*>(source);
        for (std::size_t i = 0; i < count; ++i, s += sizeof(T))
            target[i] = static_cast<double>(readfloat<T, Big>(s));
    }
    static void out32(const float* source, void* target, std::size_t count)
    {
        if constexpr (std::is_same_v<T, float> && !Big) {
            std::memcpy(target, source, count * sizeof(float));
            return;
        }
        auto* t = static_cast<std::uint8_t*>(target);
        for (std::size_t i = 0; i < count; ++i, t += sizeof(T))
            writefloat<T, Big>(t, static_cast<T>(source[i]));
    }
    static void out64(const double* source, void* target, std::size_t count)
    {
        auto* t = static_cast<std::uint8_t*>(target);
        for (std::size_t i = 0; i < count; ++i, t += sizeof(T))
            writefloat<T, Big>(t, static_cast<T>(source[i]));
    }
};

struct Entry {
    std::int32_t code;
    const char* name;
    std::size_t width;
    TInConverter in;
    TOutConverter out;
};

template <class C>
constexpr Entry entry(std::int32_t code, const char* name, std::size_t width)
{
    return Entry{code, name, width, TInConverter{&C::in32, &C::in64}, TOutConverter{&C::out32, &C::out64}};
}

const Entry table[] = {
    entry<IntType<2, true, 16>>(ASIOSTInt16MSB, "Int16MSB", 2),
    entry<IntType<3, true, 24>>(ASIOSTInt24MSB, "Int24MSB", 3),
    entry<IntType<4, true, 32>>(ASIOSTInt32MSB, "Int32MSB", 4),
    entry<FloatType<float, true>>(ASIOSTFloat32MSB, "Float32MSB", 4),
    entry<FloatType<double, true>>(ASIOSTFloat64MSB, "Float64MSB", 8),
    entry<IntType<4, true, 16>>(ASIOSTInt32MSB16, "Int32MSB16", 4),
    entry<IntType<4, true, 18>>(ASIOSTInt32MSB18, "Int32MSB18", 4),
    entry<IntType<4, true, 20>>(ASIOSTInt32MSB20, "Int32MSB20", 4),
    entry<IntType<4, true, 24>>(ASIOSTInt32MSB24, "Int32MSB24", 4),
    entry<IntType<2, false, 16>>(ASIOSTInt16LSB, "Int16LSB", 2),
    entry<IntType<3, false, 32, 8>>(ASIOSTInt24LSB, "Int24LSB", 3),
    entry<IntType<4, false, 32>>(ASIOSTInt32LSB, "Int32LSB", 4),
    entry<FloatType<float, false>>(ASIOSTFloat32LSB, "Float32LSB", 4),
    entry<FloatType<double, false>>(ASIOSTFloat64LSB, "Float64LSB", 8),
    entry<IntType<4, false, 16>>(ASIOSTInt32LSB16, "Int32LSB16", 4),
    entry<IntType<4, false, 18>>(ASIOSTInt32LSB18, "Int32LSB18", 4),
    entry<IntType<4, false, 20>>(ASIOSTInt32LSB20, "Int32LSB20", 4),
    entry<IntType<4, false, 24>>(ASIOSTInt32LSB24, "Int32LSB24", 4),
};

const Entry* find(std::int32_t code)
{
    for (const Entry& e : table)
        if (e.code == code)
            return &e;
    return nullptr;
}

}  // namespace

TInConverter inconverter(std::int32_t code)
{
    if (const Entry* e = find(code))
        return e->in;
    throw EVelkError("Converter type unknown");
}

TOutConverter outconverter(std::int32_t code)
{
    if (const Entry* e = find(code))
        return e->out;
    throw EVelkError("Converter type unknown");
}

std::size_t samplewidth(std::int32_t code)
{
    const Entry* e = find(code);
    return e ? e->width : 0;
}

const char* sampletypename(std::int32_t code)
{
    const Entry* e = find(code);
    return e ? e->name : "";
}

}  // namespace velk
