#include "VoxtapLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace voxtap {

void voxtapLog(LogLevel level, const char *format, ...)
{
    static const bool debug = std::getenv("VOXTAP_DEBUG") != nullptr;
    if (level == LogInfo && !debug)
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "Voxtap: %s\n", line);
}

} // namespace voxtap
