#include "platform/xml_attributes.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <sstream>
#include <system_error>

namespace velk {

namespace {

std::string_view trimmed(std::string_view s)
{
    const auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

}  // namespace

void appenddeclaration(pugi::xml_document& doc)
{
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version").set_value("1.0");
    decl.append_attribute("encoding").set_value("UTF-8");
}

std::string documenttext(const pugi::xml_document& doc)
{
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

std::string parsedocument(pugi::xml_document& doc, std::string& text)
{
    const pugi::xml_parse_result parsed =
        doc.load_buffer_inplace(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto);
    return parsed ? std::string() : std::string(parsed.description());
}

void setattribute(pugi::xml_node node, const char* name, long long value)
{
    node.append_attribute(name).set_value(std::to_string(value).c_str());
}

void setattribute(pugi::xml_node node, const char* name, const std::string& value)
{
    node.append_attribute(name).set_value(value.c_str());
}

void setflag(pugi::xml_node node, const char* name, bool value)
{
    node.append_attribute(name).set_value(value ? "1" : "0");
}

IntegerText readinteger(std::string_view text, long long& value)
{
    std::string_view s = trimmed(text);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || end != s.data() + s.size())
        return IntegerText::malformed;
    if (ec == std::errc::result_out_of_range) {
        value = s.front() == '-' ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
        return IntegerText::outofrange;
    }
    return ec == std::errc() ? IntegerText::ok : IntegerText::malformed;
}

std::optional<bool> readboolean(std::string_view text)
{
    std::string s(trimmed(text));
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (s == "1" || s == "true")
        return true;
    if (s == "0" || s == "false")
        return false;
    return std::nullopt;
}

}  // namespace velk
