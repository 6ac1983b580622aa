#pragma once

#include <string>

class WorkerJob;

// Walks `directory` depth first and appends to the settings' cleanList every file that the
// distribution does not list, honouring ".nopatch" markers; never touches Interface/Modules or
// Interface/FrameXML/FrameXML.toc. A symbolic link to a directory is left alone, never followed
// and never selected; a link to a file is an entry like a file. Moves nothing itself.
void cleanDirectory(WorkerJob& job, const std::string& directory);
