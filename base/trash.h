#pragma once

#include <string>

// The freedesktop.org trash, in which the desktop's file manager shows what was moved there and
// can put it back. A file goes to the trash of its own file system: the user's home trash
// ($XDG_DATA_HOME/Trash) when it is on the home trash's file system, else the trash at the top
// of its file system ($topdir/.Trash/$uid when the administrator made $topdir/.Trash, else
// $topdir/.Trash-$uid), so that a move to the trash is always a rename, never a copy.
//
// A move is made in two steps, so that a caller can write down where a file goes before it goes
// there: reserve an entry (its information file claims the name in the trash), then move the
// file in. Every step gives up at once on a refusal, and the search for a free name is bounded:
// a trash that refuses new entries never holds the caller up.

// A reserved place in a trash.
struct TrashEntry {
    std::string path; // where the file will be: <trash>/files/<name>
    std::string info; // its information file: <trash>/info/<name>.trashinfo
};

// Reserves a place for `path` (relative to the current directory, or absolute) in the trash of
// its file system. On failure `why` says which trash refused and why, worded for the user.
bool reserveTrashEntry(const std::string& path, TrashEntry& entry, std::string& why);

// Moves `path` into its reserved place; on failure the reservation is given up and `why` says
// why.
bool moveIntoTrash(const std::string& path, const TrashEntry& entry, std::string& why);

// Moves a file or directory tree to the trash in one step: 0 on success, nonzero on failure; it
// never copies and never deletes instead. On success `trashedPath`, when given, is where it now
// is; on failure `why`, when given, says why.
int recycle(const std::string& name, std::string* trashedPath = nullptr,
            std::string* why = nullptr);

// The entry at `path`, a name in a trash's files/ directory, with its information file.
TrashEntry trashEntryAt(const std::string& path);

// Gives up a reservation that was not used.
void releaseTrashEntry(const TrashEntry& entry);

// Moves `trashed`, a file or directory inside a trash entry that `entryPath` names (the entry
// itself, or a file inside an entry that is a directory), back to `to`, which must be free; the
// directories along `to` are made. Whatever of the entry is left empty goes, its information
// file with it, so that the trash does not show an entry that holds nothing.
bool restoreFromTrash(const std::string& trashed, const std::string& entryPath,
                      const std::string& to);

// The text of an information file: the original path percent-encoded as RFC 2396 says (every
// byte but the unreserved characters and '/'), so that any name, valid UTF-8 or not, can be
// written down and restored, and the deletion date in local time.
std::string trashInfoText(const std::string& originalPath, long long deletionTime);
