#pragma once

#include "settings/settings_store.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The persistent options and the run-time state that the window thread and the worker share.
// Every persistent value is loaded once, when the record is made; each change is written to the
// store at the moment it is made, and nothing is saved at exit.
class Settings {
public:
    // Loads from the store at `storePath`; an empty path means defaultSettingsPath().
    explicit Settings(const std::string& storePath = {});
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    SettingsStore key;
    // The window thread changes the account while the worker may be logging in: both hold
    // credentialsLock for every use of Username and Password.
    std::string Password;
    std::string Username;
    std::atomic<int> uploadEnabled{1};
    int loginPrompted = 0;
    std::atomic<int> distListPending{1};
    std::atomic<int> mustChooseDistribution{0};
    std::atomic<std::int32_t> bytesUploaded{0};
    std::int32_t serverWdbVersion = 0;
    std::vector<std::string> reportLines;
    std::vector<std::string> distributionLines; // guarded by distributionLinesLock
    std::deque<std::string> cleanList;
    int patchPelvar = 1;
    std::atomic<int> autoRunWoW{0};
    std::atomic<int> configureOpen{0};
    std::atomic<int> runWindowed{0};
    std::atomic<int> noSound{0};
    std::atomic<int> openGL{0};
    std::atomic<int> keepClean{0};
    std::atomic<int> completeCheck{0};
    // Set while a pass that began with completeCheck runs, and until its end is handled.
    std::atomic<int> checkingCompletely{0};
    std::atomic<int> distribution{1};
    std::int32_t storedWdbVersion = 0;
    long questCacheOffset = 0;
    long itemCacheOffset = 0;
    // Listed files that the last pass could not install (or a rollback could not undo);
    // pelvar-cli's exit code tells it.
    std::atomic<int> installErrors{0};
    // The report lines are a rollback's: the report shows them without "Pelvar.txt" and with
    // the rollback's notice. The worker sets it with the lines; showing the report clears it.
    bool rollbackReport = false;

    mutable std::mutex distributionLinesLock;
    mutable std::mutex credentialsLock;

    // A value's text; "" when it is missing, cannot be read or holds 256 bytes or more.
    std::string readString(std::string_view name) const;
    // "0" gives 0, "1" gives 1, anything else `defaultValue`.
    int readFlag(std::string_view name, int defaultValue) const;
    void writeString(std::string_view name, std::string_view text);
    void writeFlag(std::string_view name, int flag);
    void deleteValue(std::string_view name);

    // Reads "wdbVersion", "wdbQuests" and "wdbItems" again: what the last upload recorded.
    void loadUploadState();

    // Why the store could not be opened; empty when it is open.
    const std::string& storeError() const { return storeError_; }

private:
    void load();

    std::string storeError_;
};
