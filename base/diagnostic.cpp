#include "base/diagnostic.h"

#include <atomic>
#include <cstdarg>

namespace {
std::atomic<std::FILE*> diagnosticStream{nullptr};
}

void diagnostic(const char* format, ...) {
    std::FILE* stream = diagnosticStream.load();
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream ? stream : stdout, format, arguments);
    va_end(arguments);
}

void setDiagnosticStream(std::FILE* stream) {
    diagnosticStream = stream;
}
