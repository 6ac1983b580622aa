#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// The work area that every formatted text of the program passes through: 512 bytes, so a
// formatted text is at most 511 characters; anything longer is cut.
inline constexpr std::size_t formatAreaSize = 512;

// printf-style formatting of `format` and its arguments into `text`, cut to 511 characters.
void formatString(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void formatStringV(std::string& text, const char* format, va_list arguments)
    __attribute__((format(printf, 2, 0)));
