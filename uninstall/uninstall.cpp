#include "uninstall/uninstall.h"

#include "base/fs.h"
#include "base/trash.h"

#include <cstdio>
#include <cstring>
#include <memory>

const char uninstallQuestion[] =
    "This will delete the entire Interface\\ directory, as well as removing any custom UI "
    "configuration.\n\n                                                            Proceed?";
const char uninstallFailed[] = "Interface directory removal failed.";
const char uninstallBusy[] =
    "A pass is running in this game directory.\nThe interface can be removed "
    "when it has ended.";
const char uninstallDone[] = "It is done.\nYour old Interface directory now resides in the "
                             "Recycle bin.\nRemoved configuration settings can be found in "
                             "WTF\\Config.wtf.stripped.";

namespace {

// The message of a removal that did not fail, saying what it did: a sentence for the interface
// and one for the configuration, each only as true as what happened.
std::string doneMessage(bool interfaceMoved, bool configurationFound, bool stripped) {
    if (interfaceMoved && stripped)
        return uninstallDone;
    std::string text = "It is done.\n";
    text += interfaceMoved ? "Your old Interface directory now resides in the Recycle bin.\n"
                           : "There was no Interface directory to remove.\n";
    text += stripped             ? "Removed configuration settings can be found in "
                                   "WTF\\Config.wtf.stripped."
            : configurationFound ? "The custom settings could not be taken out of "
                                   "WTF\\Config.wtf, which is unchanged."
                                 : "There was no WTF\\Config.wtf to take custom settings out of.";
    return text;
}

} // namespace

namespace {

constexpr char configPath[] = "WTF/Config.wtf";
constexpr char keptPath[] = "WTF/Config.wtf.new";
constexpr char strippedPath[] = "WTF/Config.wtf.stripped";
// A line is read into 512 bytes: at most 511 characters make one piece.
constexpr std::size_t pieceArea = 512;

// Splits WTF/Config.wtf into the kept and the stripped pieces. False when either could not be
// written whole: the configuration is then left as it is, so that no removed line is lost.
bool stripConfiguration(std::FILE* config, std::FILE* kept, std::FILE* stripped) {
    std::string piece;
    bool written = true;
    while (written && readPiece(config, piece, pieceArea - 1)) {
        std::FILE* out = isCustomSetting(piece) ? stripped : kept;
        written = std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
    }
    return written && !std::ferror(config) && !std::ferror(kept) && !std::ferror(stripped);
}

} // namespace

bool isCustomSetting(std::string_view piece) {
    if (piece.substr(0, 4) != "SET ")
        return false;
    std::size_t blank = piece.find(' ', 4);
    std::string_view name =
        piece.substr(4, blank == std::string_view::npos ? std::string_view::npos : blank - 4);
    if (name.find_first_of("._") != std::string_view::npos)
        return true;
    return blank != std::string_view::npos && (name.find("Mirelgan") != std::string_view::npos ||
                                               name.find("ilverMarker") != std::string_view::npos);
}

int UninstallUi(UninstallDialogs& dialogs) {
    if (!dialogs.confirm(uninstallQuestion))
        return 0;
    // A pass installing into Interface meanwhile would put files back into a tree on its way to
    // the trash; both take the game directory's lock.
    DirectoryLock gameDirectory;
    if (!gameDirectory.tryLock(".")) {
        dialogs.tellFailure(uninstallBusy);
        return 0;
    }
    int removal = 0;
    bool interfaceFound = fileExists("Interface");
    std::string why;
    if (interfaceFound)
        removal = recycle("Interface", nullptr, &why);
    bool configurationStripped = false;

    int configTouched = 0;
    if (UniqueFile config = openForReading(configPath)) {
        UniqueFile kept(std::fopen(keptPath, "wb"));
        UniqueFile stripped(kept ? std::fopen(strippedPath, "wb") : nullptr);
        if (kept && stripped) {
            bool whole = stripConfiguration(config.get(), kept.get(), stripped.get());
            whole = std::fclose(kept.release()) == 0 && whole;
            whole = std::fclose(stripped.release()) == 0 && whole;
            config.reset();
            // The kept copy takes the place of the configuration in one step, and only when both
            // it and the removed lines are on disk whole.
            configurationStripped = whole && std::rename(keptPath, configPath) == 0;
            if (!configurationStripped)
                removeFile(keptPath);
            if (!whole)
                removeFile(strippedPath);
        }
        configTouched = 1;
    }

    if (removal != 0)
        dialogs.tellFailure(std::string(uninstallFailed) + "\n" + why);
    else
        dialogs.tellDone(doneMessage(interfaceFound, configTouched != 0, configurationStripped));
    return configTouched;
}
