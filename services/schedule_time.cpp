#include "services/schedule_time.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace velk {

namespace {

constexpr std::int64_t msperday = 86'400'000;

bool onlyblanks(const char* s)
{
    for (; *s; ++s)
        if (*s != ' ' && *s != '\t')
            return false;
    return true;
}

// strptime with `format`, accepted only when it consumes the whole text.
bool scan(const std::string& text, const char* format, std::tm& tm)
{
    tm = std::tm{};
    const char* end = ::strptime(text.c_str(), format, &tm);
    return end != nullptr && onlyblanks(end);
}

}  // namespace

TDateTime timeofday(TDateTime value)
{
    if (!std::isfinite(value))
        return 0;
    const TDateTime fraction = value - std::floor(value);
    return fraction >= 1.0 ? 0.0 : fraction;
}

std::string formatscheduletime(TDateTime value)
{
    std::int64_t ms = std::llround(timeofday(value) * static_cast<double>(msperday));
    if (ms >= msperday)
        ms = msperday - 1;
    const std::int64_t seconds = ms / 1000;
    std::tm tm{};
    tm.tm_hour = static_cast<int>(seconds / 3600);
    tm.tm_min = static_cast<int>(seconds / 60 % 60);
    tm.tm_sec = static_cast<int>(seconds % 60);
    tm.tm_mday = 30;
    tm.tm_mon = 11;
    tm.tm_year = -1;
    char text[64];
    if (std::strftime(text, sizeof text, "%X", &tm) == 0)
        return {};
    return text;
}

namespace {

// The decimal digit blocks of Unicode whose zero lies at these code points: a time written with
// a locale's own digits reads as with ASCII ones.
constexpr char32_t digitzeros[] = {
    0x30,   0x660,  0x6F0,  0x7C0,  0x966,  0x9E6,  0xA66,  0xAE6,  0xB66,  0xBE6,  0xC66,  0xCE6,  0xD66,
    0xDE6,  0xE50,  0xED0,  0xF20,  0x1040, 0x1090, 0x17E0, 0x1810, 0x1946, 0x19D0, 0x1A80, 0x1A90, 0x1B50,
    0x1BB0, 0x1C40, 0x1C50, 0xA620, 0xA8D0, 0xA900, 0xA9D0, 0xA9F0, 0xAA50, 0xABF0, 0xFF10,
};

// The morning and afternoon markers the system's locales write with a 12-hour time (each as
// written, compared without letter case for ASCII and without surrounding dots).
constexpr const char* ammarkers[] = {
    "AM", "AN", "FT", "N.U", "PD", "Purvahan", "VM", "WD", "a.m", "asubuhi", "biknait", "fh", "hengihengi", "m",
    "saaku", "sb", "soodo", "subaka", "subaxnimo", "téng-po͘", "uluchelo", "ÖA", "ÖÖ", "ÜE", "πμ", "ص", "غ.م",
    "پن", "ܩ.ܛ", "މކ", "পূর্বাহ্ণ", "পূৰ্ব্বাহ্ন", "காலை", "ఉ", "രാവിലെ", "පෙ.ව", "ངས་ཆ", "ဂယး", "နံနက်", "ማለዶ",
    "ጽባሕ", "ᏌᎾᎴ", "ព្រឹក", "上午", "上晝", "午前", "朝", "오전",
};
constexpr const char* pmmarkers[] = {
    "PM", "Aparaahna", "EW", "MD", "N.H", "NM", "WB", "akasuba", "alasiri", "apinun", "aɛ", "carra", "efiafi",
    "eh", "f", "galabnimo", "hawwaro", "kikiiɗe", "p.m", "ÖS", "ÜS", "ē-po͘", "μμ", "دن", "ش", "غ.و", "م",
    "ܒ.ܛ", "މފ", "অপরাহ্ণ", "অপৰাহ্ন", "மாலை", "సా", "വൈകു", "ප.ව", "ཕྱི་ཆ", "ညနေ", "တ္ၚဲစေၚ်", "ምሴት", "ቃማ",
    "ᏒᎯᏱᎢᏗᏢ", "ល្ងាច", "下午", "下晝", "午後", "暮", "오후",
};

// One code point from UTF-8 at `i` (advanced); a byte that starts no complete sequence reads as
// itself.
char32_t nextcodepoint(const std::string& s, std::size_t& i)
{
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    if (i + extra >= s.size())
        extra = 0;
    char32_t c = extra == 0 ? b : static_cast<char32_t>(b & (0x3F >> extra));
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto n = static_cast<unsigned char>(s[i + k]);
        if ((n & 0xC0) != 0x80) {
            ++i;
            return b;
        }
        c = (c << 6) | (n & 0x3F);
    }
    i += extra + 1;
    return c;
}

int digitvalue(char32_t c)
{
    for (const char32_t zero : digitzeros)
        if (c >= zero && c < zero + 10)
            return static_cast<int>(c - zero);
    return -1;
}

std::string normalisedword(std::string w)
{
    auto punct = [](char c) { return c == '.' || c == ':' || c == ',' || c == ';'; };
    while (!w.empty() && punct(w.front()))
        w.erase(w.begin());
    while (!w.empty() && punct(w.back()))
        w.pop_back();
    for (char& c : w)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return w;
}

bool ismarker(const std::string& word, const auto& markers)
{
    for (const char* m : markers)
        if (word == normalisedword(m))
            return true;
    return false;
}

// Any time of day as a locale writes it: two or three numbers (hour, minute, second) in any of
// the digit scripts above, separated by anything; a morning or afternoon marker anywhere; other
// words (a zone name, "kl.", hour and minute signs) and a numeric zone offset ("+0100") are
// skipped. Returns false when the text is not shaped so.
bool scangeneric(const std::string& text, int& hour, int& minute, int& second)
{
    std::vector<int> numbers;
    std::vector<std::string> words;
    std::string word;
    int number = -1;
    int digits = 0;
    bool offset = false;  // the number being read follows a sign: a zone offset
    char32_t previous = 0;
    auto endnumber = [&] {
        if (number >= 0 && !offset) {
            if (digits > 2)
                numbers.push_back(1000);  // not a clock field
            else
                numbers.push_back(number);
        }
        number = -1;
        digits = 0;
        offset = false;
    };
    auto endword = [&] {
        if (!word.empty())
            words.push_back(normalisedword(word));
        word.clear();
    };
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        const char32_t c = nextcodepoint(text, i);
        const int d = digitvalue(c);
        if (d >= 0) {
            endword();
            if (number < 0) {
                number = 0;
                offset = previous == '+' || previous == '-' || previous == 0x2212;
            }
            number = number * 10 + d;
            ++digits;
        } else {
            endnumber();
            if (c == ' ' || c == '\t' || c == 0xA0 || c == 0x202F || c == ':' || c == '+' || c == '-' ||
                c == 0x2212 || (c == '.' && word.empty()))
                endword();
            else
                word.append(text, at, i - at);
        }
        previous = c;
    }
    endnumber();
    endword();
    if (numbers.size() < 2 || numbers.size() > 3)
        return false;
    bool am = false;
    bool pm = false;
    for (const std::string& w : words) {
        if (w.empty())
            continue;
        am = am || ismarker(w, ammarkers);
        pm = pm || ismarker(w, pmmarkers);
    }
    if (am && pm)
        return false;
    hour = numbers[0];
    minute = numbers[1];
    second = numbers.size() == 3 ? numbers[2] : 0;
    // A 12-hour clock: 12 AM is midnight, 12 PM noon. An hour past 12 is already on a 24-hour one.
    if ((am || pm) && hour >= 1 && hour <= 12)
        hour = hour % 12 + (pm ? 12 : 0);
    return true;
}

}  // namespace

TimeTextResult parsescheduletime(const std::string& text, TDateTime& value)
{
    std::tm tm{};
    if (text.size() > 128)
        return TimeTextResult::Malformed;
    if (scan(text, "%X", tm) || scan(text, "%H:%M:%S", tm) || scan(text, "%H:%M", tm)) {
        if (tm.tm_hour < 0 || tm.tm_hour > 23 || tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_sec < 0 ||
            tm.tm_sec > 59)
            return TimeTextResult::OutOfRange;
    } else if (!scangeneric(text, tm.tm_hour, tm.tm_min, tm.tm_sec)) {
        return TimeTextResult::Malformed;
    } else if (tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59) {
        return TimeTextResult::OutOfRange;
    }
    value = static_cast<TDateTime>((tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) * 1000) /
            static_cast<double>(msperday);
    return TimeTextResult::Ok;
}

}  // namespace velk
