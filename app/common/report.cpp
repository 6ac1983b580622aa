#include "app/common/report.h"

#include "base/format_string.h"
#include "base/fs.h"
#include "base/text.h"
#include "settings/settings.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <utility>

const char reportNotice[] =
    "____________________________________________________________________\n\n"
    "For those that modify interface files:\n\n"
    "Old versions of modified files are now named <filename>.prepatch.  Cleaned files are in a "
    "Pelvar_Cleaned directory in the Recycle bin.\n\n"
    "To block patching of a file you made modifications to, create a file with the same name "
    "with the extension '.nopatch'.  For example, to prevent Interface\\FrameXML\\Bindings.xml "
    "from getting patched, create an empty file named "
    "'Interface\\FrameXML\\Bindings.xml.nopatch'.  A <filename>.nopatch also prevents "
    "<filename> from being cleaned.\n\n"
    "The same thing works for directories.  To prevent an entire directory from being patched "
    "or cleaned, create a <directory>.nopatch file, i.e. 'Interface\\AddOns\\MyAddon.nopatch'.\n\n"
    "Note that preventing a file from being patched could break your UI later on, but "
    "presumably, if you're hacking the files yourself, you can fix it!\n";

const char rollbackNotice[] =
    "____________________________________________________________________\n\n"
    "Each held file has a <filename>.nopatch marker beside it, so that the next pass leaves it as "
    "it is.  To have the held files patched again, run 'pelvar-cli --release' in the game "
    "directory: it removes exactly the markers that rollbacks made, never your own.\n";

const char rollbackWindowNotice[] =
    "____________________________________________________________________\n\n"
    "Each held file has a <filename>.nopatch marker beside it, so that the next pass leaves it as "
    "it is.  To have the held files patched again, choose \"Release the files held by a "
    "rollback\" in the menu of Pelvar Patcher's entry on the desktop (right-click it), or run "
    "'pelvar --release' or 'pelvar-cli --release' in the game directory named above: either "
    "removes exactly the markers that rollbacks made, never your own.\n";

namespace {
constexpr std::size_t chunkSize = 4096;
// The most of Pelvar.txt that the report shows: far more than anyone reads, and little enough
// that a huge file can neither exhaust the memory nor freeze the report's text control.
constexpr std::size_t pelvarTextShown = 1 << 20;
} // namespace

namespace {

// The report lines, each with its line break, consumed; true in `held` when a rollback held a
// file.
std::string takeLines(Settings& settings, bool& held) {
    std::string text;
    held = false;
    for (const std::string& line : settings.reportLines) {
        text += line + "\n";
        held = held || line.starts_with("Held: ");
    }
    settings.reportLines.clear();
    return text;
}

} // namespace

std::string takeReportText(Settings& settings, const std::string& gameDirectory) {
    if (!settings.rollbackReport)
        return takeReportText(settings);
    settings.rollbackReport = false;
    bool held;
    std::string text = "Game directory: " + gameDirectory + "\n" + takeLines(settings, held);
    return held ? text + "\n" + rollbackWindowNotice : text;
}

std::string takeReportText(Settings& settings) {
    bool held;
    std::string text = takeLines(settings, held);
    // A rollback's report: "Pelvar.txt" belongs to the distribution it took back.
    if (std::exchange(settings.rollbackReport, false))
        return held ? text + "\n" + rollbackNotice : text;

    if (UniqueFile opened = openForReading("Pelvar.txt")) {
        std::FILE* file = opened.get();
        text += "\n";
        char chunk[chunkSize];
        std::size_t read;
        std::size_t total = 0;
        do {
            read = std::fread(chunk, 1, chunkSize, file);
            total += read;
            // A chunk counts up to its first zero byte, as text does.
            text.append(chunk, strnlen(chunk, read));
        } while (read == chunkSize && total < pelvarTextShown);
        struct stat info {};
        if (read == chunkSize && ::fstat(::fileno(file), &info) == 0 &&
            static_cast<std::uint64_t>(info.st_size) > total) {
            std::string note;
            formatString(note, "\n[The rest of Pelvar.txt, %llu bytes, is not shown.]\n",
                         static_cast<unsigned long long>(info.st_size) - total);
            text += note;
        }
    }
    text += reportNotice;
    return text;
}

namespace {

// Windows-1252's characters for the bytes 0x80 to 0x9F; the five it leaves undefined map to the
// control characters of the same number, as Windows maps them.
constexpr char32_t windows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void appendWindows1252(std::string& text, std::string_view line) {
    for (char c : line) {
        auto byte = static_cast<unsigned char>(c);
        appendUtf8(text, byte >= 0x80 && byte < 0xA0 ? windows1252High[byte - 0x80] : byte);
    }
}

} // namespace

std::string readableText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t start = 0;
    while (start <= bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        std::string_view line = bytes.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (validUtf8(line))
            text += line;
        else
            appendWindows1252(text, line);
        if (end == std::string_view::npos)
            break;
        text += '\n';
        start = end + 1;
    }
    return text;
}

std::string visibleText(std::string_view bytes, bool keepLineBreaks) {
    std::string readable = readableText(bytes);
    std::string text;
    text.reserve(readable.size());
    for (std::size_t at = 0; at < readable.size();) {
        std::size_t start = at;
        char32_t c = *decodeUtf8(readable, at);
        bool lineBreak = c == '\n' || (c == '\r' && at < readable.size() && readable[at] == '\n');
        if (keepLineBreaks && (c == '\t' || lineBreak)) {
            if (c != '\r')
                text += static_cast<char>(c);
            continue;
        }
        if (c < 0x20)
            text += {'^', static_cast<char>(c + 0x40)};
        else if (c == 0x7F)
            text += "^?";
        else if (c >= 0x80 && c < 0xA0) // a C1 control is ESC and a character in one
            text += {'^', '[', static_cast<char>(c - 0x40)};
        else
            text.append(readable, start, at - start);
    }
    return text;
}
