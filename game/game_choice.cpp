#include "game/game_choice.h"

#include "base/md5.h"
#include "base/text.h"
#include "game/config_files.h"
#include "settings/settings.h"

namespace {

constexpr char choiceValue[] = "GameDirectory";
// A value holds fewer than 256 bytes; a path, at most PATH_MAX (4096).
constexpr std::size_t shortest = 255;
constexpr std::size_t pieceSize = 200;
constexpr std::size_t mostPieces = 4096 / pieceSize + 1;

std::string pieceName(std::size_t number) {
    return choiceValue + std::to_string(number);
}

void removePiecesFrom(Settings& settings, std::size_t first) {
    for (std::size_t number = first;
         number <= mostPieces && !settings.readString(pieceName(number)).empty(); ++number)
        settings.deleteValue(pieceName(number));
}

// Where a Lutris configuration is known by its file name alone: the directory says the rest.
std::string shortOrigin(const std::string& origin) {
    if (origin.starts_with("Lutris /"))
        return "Lutris " + lastComponent(origin);
    return origin;
}

} // namespace

StoredChoice storedGameChoice(const Settings& settings) {
    StoredChoice choice;
    const std::string head = settings.readString(choiceValue);
    if (head.empty())
        return choice;
    choice.present = true;
    if (head[0] == '/') {
        choice.readable = true;
        choice.directory = head;
        return choice;
    }
    // "<pieces> <digest>"
    std::size_t blank = head.find(' ');
    long pieces = decimalValue(head.substr(0, blank));
    if (blank == std::string::npos || pieces < 2 || pieces > static_cast<long>(mostPieces))
        return choice;
    std::string directory;
    for (long number = 1; number <= pieces; ++number)
        directory += settings.readString(pieceName(static_cast<std::size_t>(number)));
    if (md5Hex(directory) != head.substr(blank + 1) || directory.empty() || directory[0] != '/')
        return choice;
    choice.readable = true;
    choice.directory = directory;
    return choice;
}

void dropGameChoice(Settings& settings) {
    settings.deleteValue(choiceValue);
    removePiecesFrom(settings, 1);
}

GameSearchResult searchEveryInstallation(const GameSearchResult& startup) {
    if (startup.complete)
        return startup;
    GameQuery query = startup.query;
    query.everyInstallation = true;
    return searchGames(query);
}

std::vector<InstallationRow> installationRows(const GameSearchResult& search) {
    std::vector<InstallationRow> rows;
    for (std::size_t i = 0; i < search.installations.size(); ++i) {
        const GameInstallation& installation = search.installations[i];
        const bool used = i == search.usedIndex;
        rows.push_back({installation.directory,
                        installation.directory + "  (" + shortOrigin(installation.origin) + ")",
                        used, used ? search.whyUsed() : ""});
    }
    return rows;
}

std::string chooseInstallation(Settings& settings, const GameSearchResult& search,
                               const std::string& directory) {
    const std::string real = realPath(directory);
    bool found = false;
    for (const GameInstallation& installation : search.installations)
        found = found || installation.directory == real;
    if (!found)
        return "no installation of the game was found in " + directory;
    if (!settings.storeError().empty())
        return "the settings cannot be saved: " + settings.storeError();
    settings.key.takeFailure();
    if (real.size() <= shortest) {
        settings.writeString(choiceValue, real);
        removePiecesFrom(settings, 1);
    } else {
        // The pieces first: until the head names them, a reader sees the choice before.
        std::size_t pieces = (real.size() + pieceSize - 1) / pieceSize;
        for (std::size_t number = 1; number <= pieces; ++number)
            settings.writeString(pieceName(number),
                                 real.substr((number - 1) * pieceSize, pieceSize));
        settings.writeString(choiceValue, std::to_string(pieces) + " " + md5Hex(real));
        removePiecesFrom(settings, pieces + 1);
    }
    std::string failure = settings.key.takeFailure();
    return failure.empty() ? "" : "the settings could not be saved: " + failure;
}
