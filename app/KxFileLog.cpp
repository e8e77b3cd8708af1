#include "KxFileLog.h"

#include "KxAppSettings.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>

#include <cstdio>

namespace {

QMutex &logMutex()
{
    static QMutex mutex;
    return mutex;
}

// Guarded by logMutex().
std::function<QDateTime()> &clockFunction()
{
    static std::function<QDateTime()> clock;
    return clock;
}

thread_local bool t_inHandler = false;

void writeToStderr(const QString &line)
{
    fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

}  // namespace

void KxFileLog::install()
{
    qInstallMessageHandler(&KxFileLog::handler);
}

void KxFileLog::setClock(std::function<QDateTime()> clock)
{
    QMutexLocker lock(&logMutex());
    clockFunction() = std::move(clock);
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
        QMutexLocker lock(&logMutex());
        const QDateTime now = clockFunction() ? clockFunction()() : QDateTime::currentDateTime();
        const QString folder = KxVersionInfo::read(KxAppPaths::versionIniPath()).logPath;
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
