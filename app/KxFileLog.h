#pragma once
// The optional file log: a Qt message handler that appends every message to
// "log_MM-dd_hhmm.txt" (a new file for every minute in which something is
// logged) in the folder that version.ini names ("Log/Path").
//
// Threads: the handler runs on whichever thread logs. One process-wide mutex
// serialises whole lines; every call opens and closes the file, so no handle
// is shared between threads. A message logged while the handler itself is
// logging (Qt warning about the file, for instance) goes to stderr instead of
// waiting on the mutex it already holds.

#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <functional>

class KxFileLog {
public:
    /// Installs the handler for the rest of the process and fixes the
    /// version.ini it reads (KxAppPaths::versionIniPath() now). Main thread,
    /// while the application object exists, before other threads log.
    static void install();

    /// The message handler: reads the folder from version.ini (the one
    /// fixed at install, else KxAppPaths::versionIniPath()), creates it
    /// when missing (the working directory is used when it cannot be made),
    /// appends the line. A line that cannot be written goes to stderr.
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    /// Replaces the clock that names the files and stamps the lines; an empty
    /// function restores the system clock. For tests.
    static void setClock(std::function<QDateTime()> clock);

    /// "log_" + time as "MM-dd_hhmm" + ".txt".
    static QString fileName(const QDateTime &time);
    /// "[hh:mm:ss zzz] \"message\" (file line)", without the line end.
    static QString formatLine(const QDateTime &time, const QMessageLogContext &context, const QString &message);
};
