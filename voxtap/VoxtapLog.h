#pragma once
// The library's own diagnostics, written to stderr with the prefix
// "Voxtap: ". Errors are always written; information only when the
// environment variable VOXTAP_DEBUG is set, so that a host's output stays
// clean during normal recordings.

namespace voxtap {

enum LogLevel { LogError, LogInfo };

void voxtapLog(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // namespace voxtap
