#pragma once

#include <optional>
#include <string>
#include <string_view>

// A string value of the desktop's settings (GSettings), read from where GLib keeps them for a
// user: a key file ($XDG_CONFIG_HOME/glib-2.0/settings/keyfile, also a Flatpak's own) or the
// dconf database ($XDG_CONFIG_HOME/dconf/user). `path` is the schema's path without its slashes
// at either end ("com/usebottles/bottles"). Nothing when the file cannot be read, is malformed or
// does not hold the key as a string.

std::optional<std::string> keyFileString(const std::string& keyFile, const std::string& path,
                                         const std::string& key);

std::optional<std::string> dconfString(const std::string& database, const std::string& path,
                                       const std::string& key);
// The same from the bytes of a dconf database.
std::optional<std::string> dconfStringIn(std::string_view data, const std::string& path,
                                         const std::string& key);
