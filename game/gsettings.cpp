#include "game/gsettings.h"

#include "base/text.h"
#include "game/config_files.h"

#include <cctype>
#include <cstdint>
#include <string_view>

namespace {

// A string in GVariant's text form ('...' or "...", backslash escapes), the whole value.
std::optional<std::string> textString(std::string_view value) {
    if (value.size() < 2 || (value[0] != '\'' && value[0] != '"') || value.back() != value[0])
        return std::nullopt;
    std::string text;
    for (std::size_t at = 1; at + 1 < value.size(); ++at) {
        char c = value[at];
        if (c == value[0])
            return std::nullopt; // a quote that ends the string before its end
        if (c != '\\') {
            text += c;
            continue;
        }
        if (++at + 1 >= value.size())
            return std::nullopt;
        c = value[at];
        if (c == 'u' && at + 5 < value.size()) {
            std::size_t digits = at + 1;
            char32_t point = 0;
            for (; digits < at + 5 && std::isxdigit(static_cast<unsigned char>(value[digits]));
                 ++digits) {
                char digit = static_cast<char>(value[digits] | 0x20);
                point = point * 16 +
                        static_cast<char32_t>(digit <= '9' ? digit - '0' : digit - 'a' + 10);
            }
            if (digits != at + 5)
                return std::nullopt;
            appendUtf8(text, point);
            at += 4;
            continue;
        }
        text += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
    return text;
}

std::uint32_t word(std::string_view data, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(data[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 3])) << 24;
}

} // namespace

std::optional<std::string> keyFileString(const std::string& keyFile, const std::string& path,
                                         const std::string& key) {
    std::optional<std::string> text = readConfigurationFile(keyFile);
    if (!text)
        return std::nullopt;
    std::string_view rest = *text;
    bool inGroup = false;
    while (!rest.empty()) {
        std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.starts_with("[")) {
            inGroup = line == "[" + path + "]";
            continue;
        }
        std::size_t equals = line.find('=');
        if (!inGroup || equals == std::string_view::npos)
            continue;
        std::string_view name = line.substr(0, equals);
        while (!name.empty() && name.back() == ' ')
            name.remove_suffix(1);
        std::string_view value = line.substr(equals + 1);
        while (!value.empty() &&
               (value.front() == ' ' || value.back() == ' ' || value.back() == '\r'))
            value = value.front() == ' ' ? value.substr(1) : value.substr(0, value.size() - 1);
        if (name == key)
            return textString(value);
    }
    return std::nullopt;
}

// The dconf database is a GVDB file: a header ("GVariant", version, options, the root table),
// then a hash table whose items each hold a part of a key, the item of the key's parent, and a
// value. A key's name is its parents' parts followed by its own. Only a little-endian file (the
// machines this runs on) is read.
std::optional<std::string> dconfString(const std::string& database, const std::string& path,
                                       const std::string& key) {
    std::optional<std::string> file = readConfigurationFile(database);
    if (!file)
        return std::nullopt;
    return dconfStringIn(*file, path, key);
}

std::optional<std::string> dconfStringIn(std::string_view data, const std::string& path,
                                         const std::string& key) {
    if (data.size() < 24 || data.compare(0, 8, "GVariant") != 0)
        return std::nullopt;
    const std::uint32_t rootStart = word(data, 16), rootEnd = word(data, 20);
    if (rootStart > rootEnd || rootEnd > data.size() || rootEnd - rootStart < 8)
        return std::nullopt;
    const std::uint64_t blooms = word(data, rootStart) & ((1u << 27) - 1);
    const std::uint64_t items = rootStart + 8 + 4 * (blooms + word(data, rootStart + 4));
    constexpr std::size_t itemSize = 24;
    if (items > rootEnd)
        return std::nullopt;
    const std::size_t count = (rootEnd - items) / itemSize;
    auto item = [&](std::size_t index) { return items + index * itemSize; };
    // The name of item `index`, its parents' parts first; nothing when the chain is broken.
    auto nameOf = [&](std::size_t index) -> std::optional<std::string> {
        std::string name;
        for (std::size_t depth = 0; index != 0xFFFFFFFFu; ++depth) {
            if (index >= count || depth > 64)
                return std::nullopt;
            const std::size_t at = item(index);
            const std::uint32_t start = word(data, at + 8);
            const std::size_t size =
                static_cast<unsigned char>(data[at + 12]) |
                static_cast<std::size_t>(static_cast<unsigned char>(data[at + 13])) << 8;
            if (start > data.size() || size > data.size() - start)
                return std::nullopt;
            name.insert(0, data.substr(start, size));
            index = word(data, at + 4);
        }
        return name;
    };
    const std::string wanted = "/" + path + "/" + key;
    for (std::size_t index = 0; index < count; ++index) {
        const std::size_t at = item(index);
        if (data[at + 14] != 'v' || nameOf(index) != wanted)
            continue;
        // A variant: the value's bytes, a zero byte, then the value's type.
        const std::uint32_t start = word(data, at + 16), end = word(data, at + 20);
        if (start > end || end > data.size())
            return std::nullopt;
        std::string_view variant = data.substr(start, end - start);
        std::size_t zero = variant.rfind('\0');
        if (zero == std::string_view::npos || variant.substr(zero + 1) != "s" || zero == 0 ||
            variant[zero - 1] != '\0')
            return std::nullopt;
        std::string_view text = variant.substr(0, zero - 1);
        if (text.find('\0') != std::string_view::npos)
            return std::nullopt;
        return std::string(text);
    }
    return std::nullopt;
}
