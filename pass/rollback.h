#pragma once

#include <string>
#include <vector>

class SettingsStore;
class WorkerJob;

// What a rollback writes into the ".nopatch" markers it makes, by which a release tells them from
// the user's own.
extern const char heldMarkerText[];

// Undoes the last pass in the game directory (the current directory) that changed something,
// under the game directory's lock, as the worker's pass:
// - a replaced file gets back what the pass replaced, when it still holds what the pass installed
//   and its ".prepatch" backup what it replaced; what the pass installed becomes the backup;
// - a file the pass created goes to the trash, when it still holds what the pass installed;
// - a file the pass cleaned comes back from the trash, when it is still there and its place is
//   free;
// - a file changed since the pass is left alone.
// With `hold`, a ".nopatch" marker beside each file undone keeps the next pass from patching or
// cleaning it, and the record names the marker for releaseHeld. Appends the report ("Restored: ",
// "Removed: ", "Recovered: ", "Left alone (changed since the pass): ", "Error: couldn't ...",
// "Held: " lines, or "Nothing to roll back."), counts what could not be undone in installErrors
// and brings the digest cache up to date. A rollback cut short is finished by the next one. When
// the record cannot be read, or the digest cache cannot forget the files to undo, the rollback
// ends through fatal before it changes anything.
void runRollback(WorkerJob& job, bool hold);
// The rollback holding what it undid: the first pass of `pelvar --rollback`.
void runRollbackPass(WorkerJob& job);

// Removes the markers that rollbacks made in the game directory (the current directory), never
// one whose text is not a rollback's, and forgets them. Gives the report: a "Released: " line for
// each file released, an "Error: couldn't release " line for a marker that could not be removed,
// an "Error: couldn't read " line when the record of the markers cannot be read.
std::vector<std::string> releaseHeld(SettingsStore& store);
