#pragma once

#include <optional>
#include <string>
#include <string_view>

// Text helpers: numbers read as the C library reads them, and UTF-8.

// The C library's decimal reading (leading blanks, a sign, digits; none give 0), kept inside the
// range of the result type.
long decimalValue(std::string_view text);

// Appends a code point (up to U+10FFFF) in UTF-8.
void appendUtf8(std::string& text, char32_t codePoint);

// Decodes the UTF-8 sequence at `at` and moves past it; nothing when it is not one (cut short,
// overlong, a surrogate or beyond U+10FFFF).
std::optional<char32_t> decodeUtf8(std::string_view text, std::size_t& at);

// True when the whole text is UTF-8.
bool validUtf8(std::string_view text);
