#pragma once

#include <string>
#include <string_view>

class Settings;

// The fixed notice at the end of every patch report.
extern const char reportNotice[];
// The notice at the end of a rollback's report that held files.
extern const char rollbackNotice[];
// The same in the window: it names the desktop entry's action as well as the commands.
extern const char rollbackWindowNotice[];
// The desktop entry's action that releases what rollbacks held (`pelvar --release`).
inline constexpr char releaseActionName[] = "Release the files held by a rollback";

// The text of the patch report: every report line followed by a line break, then (when the game
// directory holds one) a line break and the text of "Pelvar.txt" (its first MiB, with a note
// when there is more), then the notice. A rollback's report is its lines, then, when it held
// files, a line break and the rollback's notice. Consumes the report lines. The bytes are as
// found: readableText makes them text.
std::string takeReportText(Settings& settings);
// The report as the window shows it: a rollback's (or a release's) report begins with a line
// that names the game directory, and ends with the window's notice.
std::string takeReportText(Settings& settings, const std::string& gameDirectory);

// Bytes from the disk or the server as UTF-8 text, line by line: a line that is valid UTF-8 stays
// as it is, any other is read as Windows-1252 (a Pelvar.txt or a file name written on Windows).
std::string readableText(std::string_view bytes);

// readableText as the terminal and the window show it: every control character becomes a visible
// form (ESC is "^[", CSI "^[[", DEL "^?"), so that text cannot move the cursor, clear the screen
// or set the title of a terminal, and shows the same in the window rather than as empty boxes.
// With `keepLineBreaks`, line breaks (also "\r\n") and tabs stay.
std::string visibleText(std::string_view bytes, bool keepLineBreaks);
