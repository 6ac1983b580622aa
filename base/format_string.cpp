#include "base/format_string.h"

#include <algorithm>
#include <cstdio>

void formatStringV(std::string& text, const char* format, va_list arguments) {
    char area[formatAreaSize];
    int length = std::vsnprintf(area, sizeof area, format, arguments);
    if (length < 0) {
        length = 0;
        area[0] = '\0';
    }
    text.assign(area, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof area - 1));
}

void formatString(std::string& text, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    formatStringV(text, format, arguments);
    va_end(arguments);
}
