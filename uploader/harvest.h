#pragma once

#include <cstddef>
#include <span>

class WorkerJob;

// Takes the add-on's Mirelgan_Data table out of the first account's SavedVariables.lua that
// holds one (in listing order of WTF/Account): copies the table's lines into `area` and rewrites
// the file without them, keeping its previous version as SavedVariables.lua.old. Gives the
// number of bytes harvested; 0 when nothing was found. A table that does not fit `area` ends
// the pass before anything is renamed, so no data is lost.
std::size_t harvestSavedVariables(WorkerJob& job, std::span<char> area);
