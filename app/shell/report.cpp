#include "app/shell/report.h"

#include "patcher/fs/fs.h"
#include "settings/settings.h"

#include <cstdio>
#include <cstring>

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

namespace {
constexpr std::size_t chunkSize = 4096;
}

std::string takeReportText(Settings& settings) {
    std::string text;
    for (const std::string& line : settings.reportLines)
        text += line + "\n";
    settings.reportLines.clear();

    if (UniqueFile opened = openForReading("Pelvar.txt")) {
        std::FILE* file = opened.get();
        text += "\n";
        char chunk[chunkSize];
        std::size_t read;
        do {
            read = std::fread(chunk, 1, chunkSize, file);
            // A chunk counts up to its first zero byte, as text does.
            text.append(chunk, strnlen(chunk, read));
        } while (read == chunkSize);
    }
    text += reportNotice;
    return text;
}
