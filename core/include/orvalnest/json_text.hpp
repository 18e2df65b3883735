// JSON strings as Python's json module writes them with ensure_ascii=False:
// quotes, backslashes and control characters escaped (\b \t \n \f \r, the
// others as \u00xx), everything else, non-ASCII included, as it is. The audit
// log and the exports write every string this way, so a reader sees one form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvalnest {

// What is escaped beyond the plain rules.
enum class JsonEscapes : std::uint8_t {
    Plain,
    // DEL too, as \u007f: ncdu's parser refuses it raw.
    Ncdu,
    // '<', '>' and '&' too, as \u003c, \u003e and \u0026: inside an HTML
    // script element no string can then end the element or open a comment.
    Html,
};

// Appends `text` (valid UTF-8) between double quotes.
void append_json_string(std::string& out, std::string_view text, JsonEscapes escapes = JsonEscapes::Plain);

// As append_json_string, for bytes that may not be UTF-8: they are written as
// their lossy text (U+FFFD for each ill-formed sequence).
void append_json_text(std::string& out, std::string_view bytes, JsonEscapes escapes = JsonEscapes::Plain);

}  // namespace orvalnest
