#pragma once

#include <string>
#include <string_view>

// How the removal asks and tells: the window shows message boxes, tests answer themselves.
class UninstallDialogs {
public:
    virtual ~UninstallDialogs() = default;
    // A Yes/No question; true for Yes.
    virtual bool confirm(const std::string& question) = 0;
    // A plain message with an OK button.
    virtual void tellFailure(const std::string& message) = 0;
    // An information message with an OK button.
    virtual void tellDone(const std::string& message) = 0;
};

extern const char uninstallQuestion[];
extern const char uninstallFailed[];
extern const char uninstallBusy[];
extern const char uninstallDone[];

// Removes the installed interface after a confirmation: moves Interface to the trash and takes
// the custom interface settings out of WTF/Config.wtf, keeping them in WTF/Config.wtf.stripped.
// Holds the game directory's lock as a pass does: while a pass runs there, it removes nothing and
// says so. Gives configTouched: 1 when the configuration step was reached, else 0.
int UninstallUi(UninstallDialogs& dialogs);

// True when a piece of WTF/Config.wtf is a custom interface setting, which the removal strips.
bool isCustomSetting(std::string_view piece);
