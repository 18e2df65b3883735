#include "orvalnest/json_text.hpp"

#include <array>

#include "orvalnest/hex.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest {
namespace {

// Per byte: 0 to copy it, else the letter of its short escape, or 'u' for \u00xx.
using EscapeTable = std::array<char, 256>;

constexpr EscapeTable make_table(JsonEscapes escapes) {
    EscapeTable table{};
    for (unsigned byte = 0; byte < 0x20; ++byte) table[byte] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    if (escapes == JsonEscapes::Ncdu) table[0x7F] = 'u';
    if (escapes == JsonEscapes::Html) table['<'] = table['>'] = table['&'] = 'u';
    return table;
}

constexpr EscapeTable kTables[] = {make_table(JsonEscapes::Plain), make_table(JsonEscapes::Ncdu),
                                   make_table(JsonEscapes::Html)};

}  // namespace

void append_json_string(std::string& out, std::string_view text, JsonEscapes escapes) {
    const EscapeTable& table = kTables[static_cast<int>(escapes)];
    out.push_back('"');
    std::size_t copied = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const char escape = table[byte];
        if (escape == 0) continue;
        out.append(text.substr(copied, i - copied));
        copied = i + 1;
        if (escape == 'u') {
            append_hex_byte(out, "\\u00", byte, HexCase::Lower);
        } else {
            out.push_back('\\');
            out.push_back(escape);
        }
    }
    out.append(text.substr(copied));
    out.push_back('"');
}

void append_json_text(std::string& out, std::string_view bytes, JsonEscapes escapes) {
    if (is_valid_utf8(bytes)) return append_json_string(out, bytes, escapes);
    append_json_string(out, lossy_utf8(bytes), escapes);
}

}  // namespace orvalnest
