#include "app/common/login_flow.h"

#include "settings/settings.h"

void runLoginFlow(Settings& settings, const std::function<LoginAnswer(const LoginPrompt&)>& ask,
                  const std::function<void(const std::string&)>& showStatus, bool refused) {
    LoginPrompt prompt;
    {
        std::lock_guard guard(settings.credentialsLock);
        prompt.userName = settings.Username;
        if (!refused)
            prompt.password = settings.Password;
        settings.Username.clear();
        settings.Password.clear();
    }
    showStatus(loginStatus);
    prompt.hint = settings.loginPrompted || refused ? failedLoginHint : firstLoginHint;

    LoginAnswer answer = ask(prompt);
    if (!answer.accepted) {
        settings.uploadEnabled = 0;
        answer = {false, prompt.userName, prompt.password, false};
    }
    std::string user = answer.anonymous ? "anonymous" : answer.userName;
    std::string password = answer.anonymous ? "" : answer.password;
    {
        std::lock_guard guard(settings.credentialsLock);
        settings.Username = user;
        settings.Password = password;
    }
    if (!user.empty()) {
        settings.writeString("Username", user);
        settings.writeString("Password", password);
    }
    settings.loginPrompted = 1;
    showStatus("");
}
