// Text helpers shared by every subsystem: paths reach Python, messages and the
// audit log as lossy UTF-8, and every repr shows text in the quoted form.
#pragma once

#include <string>
#include <string_view>

namespace orvalnest {

// Decodes bytes as UTF-8, one U+FFFD per maximal ill-formed subsequence (the
// Unicode Standard's recommended substitution, as Python's "replace").
std::string lossy_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// The text between double quotes with backslash escapes: \" \\ \t \r \n \0, and
// \u{hex} for control, non-printable and grapheme-extending characters.
// `utf8` must be valid UTF-8 (lossy_utf8 output is).
std::string quoted_form(std::string_view utf8);

// The quoted form of bytes that need not be UTF-8: valid runs as in quoted_form(),
// each byte of an invalid sequence as \xHH (upper-case hex).
std::string quoted_form_bytes(std::string_view bytes);

// Whether the quoted form writes this code point as \u{hex}.
bool needs_unicode_escape(char32_t code_point);

// Appends code point `cp` as UTF-8.
void append_utf8(std::string& out, char32_t cp);

// Appends "\u{hex}" with lower-case digits and no leading zeros.
void append_unicode_escape(std::string& out, char32_t cp);

}  // namespace orvalnest
