#pragma once

#include <cstdio>

// Trace lines of the worker that the window does not show ("MD5 mismatch, patching ...",
// "m_version = ..."). They go to standard output unless a front end sends them elsewhere.
void diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));
void setDiagnosticStream(std::FILE* stream);
