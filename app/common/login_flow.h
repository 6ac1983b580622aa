#pragma once

#include <functional>
#include <string>

class Settings;

// What the login dialog shows when it opens.
struct LoginPrompt {
    std::string hint;
    std::string userName;
    std::string password;
};

// What the user did: OK transfers the controls; Cancel keeps the members as they were opened.
struct LoginAnswer {
    bool accepted = false;
    std::string userName;
    std::string password;
    bool anonymous = false;
};

inline constexpr char firstLoginHint[] =
    "Hint: don't use the same login/pass combination you use for WoW - here, or anywhere.";
inline constexpr char failedLoginHint[] =
    "Login Failed!  The username is taken and the password doesn't match.";
inline constexpr char loginStatus[] = "Please enter username and password";

// The login flow around a dialog: clears the account, shows "Please enter username and
// password", asks through `ask`, stores and saves the answer (Cancel switches the upload off for
// the rest of the run), then clears the status line. After the server `refused` the stored
// account, the dialog says "Login Failed!" from its first showing, and the refused password is
// neither offered again nor kept, not even by Cancel.
void runLoginFlow(Settings& settings, const std::function<LoginAnswer(const LoginPrompt&)>& ask,
                  const std::function<void(const std::string&)>& showStatus, bool refused = false);
