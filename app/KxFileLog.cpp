#include "KxFileLog.h"

#include "KxAppSettings.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>

#include <cstdio>

namespace {

// Objects destroyed at exit still log from their destructors, so the state
// is made once and never freed.
struct LogState {
    QMutex mutex;
    // Guarded by mutex.
    std::function<QDateTime()> clock;
    QString versionIni;  ///< fixed at install, while the application object lives
};

LogState &state()
{
    static LogState *s = new LogState;
    return *s;
}

thread_local bool t_inHandler = false;

void writeToStderr(const QString &line)
{
    fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

}  // namespace

void KxFileLog::install()
{
    {
        QMutexLocker lock(&state().mutex);
        state().versionIni = KxAppPaths::versionIniPath();
    }
    qInstallMessageHandler(&KxFileLog::handler);
}

void KxFileLog::setClock(std::function<QDateTime()> clock)
{
    QMutexLocker lock(&state().mutex);
    state().clock = std::move(clock);
}

QString KxFileLog::fileName(const QDateTime &time)
{
    return QStringLiteral("log_%1.txt").arg(time.toString(QStringLiteral("MM-dd_hhmm")));
}

QString KxFileLog::formatLine(const QDateTime &time, const QMessageLogContext &context, const QString &message)
{
    const QString source = QStringLiteral("%1 %2").arg(QString::fromUtf8(context.file)).arg(context.line);
    return QStringLiteral("[%1] \"%2\" (%3)").arg(time.toString(QStringLiteral("hh:mm:ss zzz")), message, source);
}

void KxFileLog::handler(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (t_inHandler) {
        writeToStderr(message);
        return;
    }
    t_inHandler = true;
    {
        LogState &st = state();
        QMutexLocker lock(&st.mutex);
        const QDateTime now = st.clock ? st.clock() : QDateTime::currentDateTime();
        const QString ini = st.versionIni.isEmpty() ? KxAppPaths::versionIniPath() : st.versionIni;
        const QString folder = KxVersionInfo::read(ini).logPath;
        QDir dir(folder);
        if (!dir.exists())
            dir.mkpath(QStringLiteral("."));
        const QString name = fileName(now);
        const QString path = dir.exists() ? QStringLiteral("%1/%2").arg(folder, name) : name;
        const QString line = formatLine(now, context, message);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            QTextStream out(&file);
            out.setCodec("UTF-8");
            out << line << "\r\n";
            out.flush();
            file.close();
        } else {
            writeToStderr(line);
        }
    }
    t_inHandler = false;
}
