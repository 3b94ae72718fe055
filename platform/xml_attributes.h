#pragma once
// The recorder's XML files (the configuration, the schedule): the declaration they start with,
// the text they are saved as, and how attribute values are written and read back. Values are read
// as leniently as a hand edit may leave them: blanks around them, one leading '+' on a number,
// "true" and "false" in any case beside "1" and "0".

#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace velk {

// Appends the declaration <?xml version="1.0" encoding="UTF-8"?> to an empty document.
void appenddeclaration(pugi::xml_document& doc);
// The document as UTF-8 text, indented by two spaces.
std::string documenttext(const pugi::xml_document& doc);
// Parses `text` (any encoding pugixml detects) into `doc`, in place: `text` must outlive `doc`.
// Returns an empty string, or the parser's description of what is wrong.
std::string parsedocument(pugi::xml_document& doc, std::string& text);

void setattribute(pugi::xml_node node, const char* name, long long value);
void setattribute(pugi::xml_node node, const char* name, const std::string& value);
// "1" or "0".
void setflag(pugi::xml_node node, const char* name, bool value);

enum class IntegerText { ok, outofrange, malformed };
// Reads a whole decimal integer. Out of range, `value` is the nearest limit of long long.
IntegerText readinteger(std::string_view text, long long& value);
// "1"/"true" or "0"/"false"; nothing for any other text.
std::optional<bool> readboolean(std::string_view text);

}  // namespace velk
