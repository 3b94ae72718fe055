#pragma once
// Conversions between the text encodings the recorder meets: UTF-8 in memory and in text files,
// UTF-16LE in recording descriptors, and plain 8-bit text in files written by other programs.

#include <cstddef>
#include <string>
#include <string_view>

namespace velk {

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string utf8toutf16(std::string_view text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16toutf8(std::u16string_view text);
bool isvalidutf8(std::string_view text);
// Text read from a file: kept when it is valid UTF-8, otherwise taken as 8-bit Latin-1 text.
std::string eightbittoutf8(std::string_view text);
// Cuts UTF-16 text to at most `units` code units without splitting a surrogate pair.
std::u16string truncateutf16(std::u16string text, std::size_t units);

}  // namespace velk
