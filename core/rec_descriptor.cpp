#include "core/rec_descriptor.h"

#include <algorithm>

#include "core/byte_order.h"
#include "core/text_encoding.h"

namespace velk {

namespace {

template <std::size_t N>
void puttext(std::uint8_t* out, const std::array<char16_t, N>& text)
{
    for (std::size_t i = 0; i < N; ++i)
        le::put16(out + 2 * i, text[i]);
}

template <std::size_t N>
void gettext(const std::uint8_t* in, std::array<char16_t, N>& text)
{
    for (std::size_t i = 0; i < N; ++i)
        text[i] = static_cast<char16_t>(le::get16(in + 2 * i));
}

template <std::size_t N>
void settext(std::array<char16_t, N>& field, const std::string& text)
{
    const std::u16string units = truncateutf16(utf8toutf16(text), N - 1);
    field.fill(0);
    std::copy(units.begin(), units.end(), field.begin());
}

template <std::size_t N>
std::string textof(const std::array<char16_t, N>& field)
{
    const auto end = std::find(field.begin(), field.end(), u'\0');
    return utf16toutf8(std::u16string_view(field.data(), static_cast<std::size_t>(end - field.begin())));
}

}  // namespace

TRecDescriptor::Bytes TRecDescriptor::serialize() const
{
    Bytes b{};
    using namespace descoffset;
    le::puti32(&b[descoffset::version], version);
    le::putf64(&b[descoffset::start], start);
    le::putf64(&b[descoffset::stop], stop);
    le::puti32(&b[descoffset::peak], peak);
    le::puti32(&b[descoffset::state], state);
    le::puti32(&b[descoffset::codec], codec);
    puttext(&b[descoffset::name], name);
    puttext(&b[descoffset::path], path);
    le::puti32(&b[descoffset::samplerate], samplerate);
    const auto fmt = format.serialize();
    std::copy(fmt.begin(), fmt.end(), b.begin() + descoffset::format);
    le::puti32(&b[descoffset::mp3mode], mp3mode);
    le::puti32(&b[descoffset::vbrmax], vbrmax);
    le::puti32(&b[descoffset::bitrate], bitrate);
    le::puti32(&b[descoffset::avgbitrate], avgbitrate);
    le::puti32(&b[descoffset::vbrquality], vbrquality);
    b[descoffset::mp3crc] = mp3crc;
    le::puti32(&b[descoffset::reserved], reserved);
    return b;
}

TRecDescriptor TRecDescriptor::deserialize(std::span<const std::uint8_t> bytes, const TRecDescriptor& base)
{
    Bytes b = base.serialize();
    std::copy_n(bytes.begin(), std::min(bytes.size(), size), b.begin());
    TRecDescriptor d;
    d.version = le::geti32(&b[descoffset::version]);
    d.start = le::getf64(&b[descoffset::start]);
    d.stop = le::getf64(&b[descoffset::stop]);
    d.peak = le::geti32(&b[descoffset::peak]);
    d.state = le::geti32(&b[descoffset::state]);
    d.codec = le::geti32(&b[descoffset::codec]);
    gettext(&b[descoffset::name], d.name);
    gettext(&b[descoffset::path], d.path);
    d.samplerate = le::geti32(&b[descoffset::samplerate]);
    d.format = fWaveFormat::deserialize(std::span<const std::uint8_t>(&b[descoffset::format], fWaveFormat::size));
    d.mp3mode = le::geti32(&b[descoffset::mp3mode]);
    d.vbrmax = le::geti32(&b[descoffset::vbrmax]);
    d.bitrate = le::geti32(&b[descoffset::bitrate]);
    d.avgbitrate = le::geti32(&b[descoffset::avgbitrate]);
    d.vbrquality = le::geti32(&b[descoffset::vbrquality]);
    d.mp3crc = b[descoffset::mp3crc];
    d.reserved = le::geti32(&b[descoffset::reserved]);
    return d;
}

TRecDescriptor TRecDescriptor::deserialize(std::span<const std::uint8_t> bytes)
{
    return deserialize(bytes, TRecDescriptor{});
}

void TRecDescriptor::setname(const std::string& text) { settext(name, text); }
std::string TRecDescriptor::getname() const { return textof(name); }
void TRecDescriptor::setpath(const std::string& text) { settext(path, text); }
std::string TRecDescriptor::getpath() const { return textof(path); }

bool TRecDescriptor::pathfits(const std::string& text)
{
    return utf8toutf16(text).size() <= pathchars;
}

bool validdescriptor(const TRecDescriptor& descriptor)
{
    return descriptor.samplerate != 0;
}

}  // namespace velk
