#include "app/common/configure.h"

#include "base/format_string.h"
#include "base/text.h"
#include "settings/settings.h"

#include <algorithm>
#include <atomic>
#include <climits>

std::vector<DistributionRow> distributionRows(const std::vector<std::string>& lines) {
    std::vector<DistributionRow> rows = {{noDistributionRow, 0}};
    for (const std::string& line : lines) {
        std::string area = line.substr(0, formatAreaSize - 1);
        long number = decimalValue(area);
        std::size_t digits = area.find_first_not_of("0123456789");
        std::string name = digits == std::string::npos ? "" : area.substr(digits);
        if (!name.empty() && name[0] == ' ')
            name.erase(0, 1);
        rows.push_back({name, static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX))});
    }
    return rows;
}

std::optional<std::size_t> defaultRow(const std::vector<DistributionRow>& rows, int distribution) {
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].number == distribution)
            return i;
    if (rows.size() > 1)
        return 1;
    return std::nullopt;
}

ConfigureChoice ConfigureChoice::fromSettings(const Settings& settings) {
    ConfigureChoice choice;
    choice.runWindowed = settings.runWindowed;
    choice.noSound = settings.noSound;
    choice.openGL = settings.openGL;
    choice.keepClean = settings.keepClean;
    return choice;
}

void ConfigureChoice::toggleKeepClean() {
    keepClean = !keepClean;
    if (keepClean)
        rerunRequested = true;
}

bool acceptConfiguration(Settings& settings, ConfigureChoice& choice, bool passRunning) {
    std::string text;
    if (choice.selectedNumber) {
        int number = *choice.selectedNumber;
        formatString(text, "%d", number);
        settings.writeString("Distribution", text);
        if (number != settings.distribution && number != 0)
            choice.rerunRequested = true;
        settings.distribution = number;
    }
    struct Option {
        int member;
        std::atomic<int>& flag;
        const char* valueName;
    };
    for (Option option : {Option{choice.runWindowed, settings.runWindowed, "RunWindowed"},
                          Option{choice.noSound, settings.noSound, "NoSound"},
                          Option{choice.openGL, settings.openGL, "OpenGL"},
                          Option{choice.keepClean, settings.keepClean, "KeepClean"}}) {
        if (option.member == option.flag)
            continue;
        option.flag = option.member;
        formatString(text, "%d", option.member);
        settings.writeString(option.valueName, text);
    }
    return choice.rerunRequested && !passRunning;
}
