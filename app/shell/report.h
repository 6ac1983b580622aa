#pragma once

#include <string>

class Settings;

// The fixed notice at the end of every patch report.
extern const char reportNotice[];

// The text of the patch report: every report line followed by a line break, then (when the game
// directory holds one) a line break and the text of "Pelvar.txt", then the notice. Consumes the
// report lines.
std::string takeReportText(Settings& settings);
