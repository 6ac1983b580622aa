#include "settings/settings.h"

#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>

namespace {

// A registry value read into a 256-byte area, terminator included.
constexpr std::size_t readAreaSize = 256;

int toInt(long value) {
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

} // namespace

Settings::Settings(const std::string& storePath) {
    if (!key.open(storePath.empty() ? defaultSettingsPath() : storePath, storeError_) &&
        storeError_.empty())
        storeError_ = "the settings store cannot be opened";
    load();
}

void Settings::load() {
    autoRunWoW = readFlag("autoRunWoW", 0);
    std::string chosen = readString("Distribution");
    if (chosen.empty()) {
        distribution = 1;
        mustChooseDistribution = 1;
    } else {
        mustChooseDistribution = 0;
        distribution = toInt(decimalValue(chosen));
    }
    patchPelvar = readFlag("patchPelvar", 1);
    runWindowed = readFlag("RunWindowed", 0);
    openGL = readFlag("OpenGL", 0);
    noSound = readFlag("NoSound", 0);
    keepClean = readFlag("KeepClean", 0);
    Username = readString("Username");
    Password = readString("Password");
    loadUploadState();
}

void Settings::loadUploadState() {
    storedWdbVersion = toInt(decimalValue(readString("wdbVersion")));
    questCacheOffset = decimalValue(readString("wdbQuests"));
    itemCacheOffset = decimalValue(readString("wdbItems"));
}

std::string Settings::readString(std::string_view name) const {
    std::optional<std::string> data = key.read(name);
    if (!data || data->size() + 1 > readAreaSize)
        return {};
    return *data;
}

int Settings::readFlag(std::string_view name, int defaultValue) const {
    std::string text = readString(name);
    if (text == "0")
        return 0;
    if (text == "1")
        return 1;
    return defaultValue;
}

void Settings::writeString(std::string_view name, std::string_view text) {
    key.write(name, text);
}

void Settings::writeFlag(std::string_view name, int flag) {
    writeString(name, flag ? "1" : "0");
}

void Settings::deleteValue(std::string_view name) {
    key.remove(name);
}
