#include "game/wine_names.h"

#include "base/fs.h"
#include "base/text.h"
#include "game/config_files.h"

#include <clocale>
#include <locale.h>
#include <wctype.h>

namespace {

// The C library's Unicode case mapping, whatever the program's own locale is.
locale_t unicodeLocale() {
    static const locale_t locale = [] {
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
            if (locale_t made = ::newlocale(LC_CTYPE_MASK, name, locale_t{}))
                return made;
        return locale_t{};
    }();
    return locale;
}

// The next unit of a name as Wine compares it: a code point upper-cased when it fits in one
// UTF-16 unit (Wine maps no other); an invalid byte, marked apart from every code point.
char32_t nextUnit(const std::string& name, std::size_t& at) {
    std::size_t start = at;
    if (std::optional<char32_t> point = decodeUtf8(name, at)) {
        if (*point < 0x80)
            return *point >= 'a' && *point <= 'z' ? *point - ('a' - 'A') : *point;
        if (*point < 0x10000 && unicodeLocale())
            return static_cast<char32_t>(
                ::towupper_l(static_cast<wint_t>(*point), unicodeLocale()));
        return *point;
    }
    at = start + 1;
    return 0x110000 + static_cast<unsigned char>(name[start]);
}

} // namespace

bool sameWineName(const std::string& a, const std::string& b) {
    std::size_t atA = 0, atB = 0;
    while (atA < a.size() && atB < b.size())
        if (nextUnit(a, atA) != nextUnit(b, atB))
            return false;
    return atA == a.size() && atB == b.size();
}

std::optional<std::string> wineNameIn(const std::string& directory, const std::string& name) {
    if (fileExists(directory + "/" + name))
        return name;
    for (const std::string& entry : namesIn(directory))
        if (entry != "." && sameWineName(entry, name))
            return entry;
    return std::nullopt;
}

std::optional<std::string> winePath(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return std::nullopt;
    std::string found;
    for (std::size_t at = 1; at <= path.size();) {
        std::size_t slash = std::min(path.find('/', at), path.size());
        std::string component = path.substr(at, slash - at);
        at = slash + 1;
        if (component.empty() || component == "." || component == "..") {
            if (component == "..")
                found += "/..";
            continue;
        }
        std::optional<std::string> entry = wineNameIn(found.empty() ? "/" : found, component);
        if (!entry)
            return std::nullopt;
        found += "/" + *entry;
    }
    return found.empty() ? "/" : found;
}
