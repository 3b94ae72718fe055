#include "core/text_encoding.h"

#include <cstdint>

namespace velk {

namespace {

constexpr char32_t replacement = 0xFFFD;

// Decodes one UTF-8 sequence at `i`; returns the code point or `replacement` and advances `i`.
char32_t decodeone(std::string_view s, std::size_t& i, bool& valid)
{
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t b0 = byte(i);
    valid = true;
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        ++i;
        valid = false;
        return replacement;
    }
    if (i + static_cast<std::size_t>(len) > s.size()) {
        ++i;
        valid = false;
        return replacement;
    }
    for (int k = 1; k < len; ++k) {
        const std::uint8_t b = byte(i + static_cast<std::size_t>(k));
        if ((b & 0xC0) != 0x80) {
            ++i;
            valid = false;
            return replacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        valid = false;
        return replacement;
    }
    i += static_cast<std::size_t>(len);
    return cp;
}

void appendutf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::u16string utf8toutf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    bool valid = true;
    while (i < text.size()) {
        const char32_t cp = decodeone(text, i, valid);
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string utf16toutf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = replacement;
        }
        appendutf8(out, cp);
    }
    return out;
}

bool isvalidutf8(std::string_view text)
{
    std::size_t i = 0;
    bool valid = true;
    while (i < text.size()) {
        decodeone(text, i, valid);
        if (!valid)
            return false;
    }
    return true;
}

std::string eightbittoutf8(std::string_view text)
{
    if (isvalidutf8(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text)
        appendutf8(out, static_cast<std::uint8_t>(c));
    return out;
}

std::u16string truncateutf16(std::u16string text, std::size_t units)
{
    if (text.size() <= units)
        return text;
    std::size_t cut = units;
    if (cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF)
        --cut;
    text.resize(cut);
    return text;
}

}  // namespace velk
