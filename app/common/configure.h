#pragma once

#include <optional>
#include <string>
#include <vector>

class Settings;

inline constexpr char noDistributionRow[] = "None (do not download Interface files)";

// One row of the distribution choice: its name and its number.
struct DistributionRow {
    std::string name;
    int number;
};

// The rows of the choice: "None (do not download Interface files)" with 0, then one per
// distribution line, its number read as atoi does and its name the rest of the line after the
// leading digits, without one blank.
std::vector<DistributionRow> distributionRows(const std::vector<std::string>& lines);
// The row selected when the choice opens: the first with the stored number, else the first
// distribution; nothing when there is none.
std::optional<std::size_t> defaultRow(const std::vector<DistributionRow>& rows, int distribution);

// The state of a configuration dialog: its option members and whether a new pass is asked for.
struct ConfigureChoice {
    std::optional<int> selectedNumber;
    int runWindowed = 0;
    int noSound = 0;
    int openGL = 0;
    int keepClean = 0;
    bool rerunRequested = false;

    // The members as the dialog opens with the current settings.
    static ConfigureChoice fromSettings(const Settings& settings);
    // A click on the keep-clean box: switching it on asks for a new pass.
    void toggleKeepClean();
};

// Accepting a configuration dialog: stores the chosen distribution and the options that changed.
// True when a new pass is to be started (asked for, and none running).
bool acceptConfiguration(Settings& settings, ConfigureChoice& choice, bool passRunning);
