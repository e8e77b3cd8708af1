#include "KxDevCloudFixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>

#include <cstdlib>

KxDevCloud::KxDevCloud()
    : m_dir(std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kx-devcloud-XXXXXX")))
{
}

KxDevCloud::~KxDevCloud()
{
    stop();
}

QString KxDevCloud::dataDir() const
{
    return m_dir->path() + QStringLiteral("/data");
}

QString KxDevCloud::scratchDir() const
{
    const QString dir = m_dir->path() + QStringLiteral("/scratch");
    QDir().mkpath(dir);
    return dir;
}

QString KxDevCloud::storedFile(const QString &bucket, const QString &remotePath) const
{
    QString rel = remotePath;
    while (rel.startsWith(QLatin1Char('/')))
        rel.remove(0, 1);
    return dataDir() + QLatin1Char('/') + bucket + QLatin1Char('/') + rel;
}

bool KxDevCloud::start(QString *error, const QStringList &extraArgs, int timeoutMs)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        stop();
        return false;
    };
    if (!m_dir->isValid())
        return fail(QStringLiteral("no temporary folder"));
    QString source = QString::fromLocal8Bit(qgetenv("KX_SOURCE_DIR"));
    if (source.isEmpty())
        source = QStringLiteral(KX_DEFAULT_SOURCE_DIR);
    const QString script = source + QStringLiteral("/tools/devcloud/devcloud.py");
    if (!QFile::exists(script))
        return fail(QStringLiteral("devcloud not found at ") + script);

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args{script, QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"),
                     dataDir(), QStringLiteral("--exit-with-stdin")};
    args += extraArgs;
    // Debian's Python has python3-aiohttp; another python3 first on PATH
    // (pyenv) would only hand over to it, seconds later on a loaded machine.
    const QString python = QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                             : QStringLiteral("python3");
    m_process->start(python, args);
    if (!m_process->waitForStarted(timeoutMs))
        return fail(QStringLiteral("python3 did not start: ") + m_process->errorString());

    QDeadlineTimer deadline(timeoutMs);
    QByteArray line;
    while (!m_process->canReadLine()) {
        if (deadline.hasExpired() || m_process->state() != QProcess::Running)
            return fail(QStringLiteral("devcloud printed no URL"));
        m_process->waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 200)));
    }
    line = m_process->readLine().trimmed();
    const QUrl url(QString::fromUtf8(line));
    if (!url.isValid() || url.host() != QLatin1String("127.0.0.1") || url.port() <= 0)
        return fail(QStringLiteral("unexpected first line: ") + QString::fromUtf8(line));
    m_url = url.toString();
    m_port = quint16(url.port());
    return true;
}

void KxDevCloud::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(3000)) {
            m_process->kill();
            m_process->waitForFinished(2000);
        }
    }
    m_process.reset();
}

bool KxDevCloud::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

KxDevCloud::Reply KxDevCloud::request(const QByteArray &method, const QString &path, const QByteArray &body,
                                      const QByteArray &contentType, int timeoutMs) const
{
    Reply reply;
    if (!m_port)
        return reply;
    QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_port);
    if (!socket.waitForConnected(timeoutMs))
        return reply;
    QString target = path;
    if (!target.startsWith(QLatin1Char('/')))
        target.prepend(QLatin1Char('/'));
    QByteArray head = method + ' ' + QUrl(target, QUrl::TolerantMode).toEncoded() + " HTTP/1.1\r\n";
    head += "Host: 127.0.0.1:" + QByteArray::number(m_port) + "\r\n";
    head += "Connection: close\r\n";
    if (!contentType.isEmpty())
        head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    socket.write(head + body);
    QByteArray data;
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 200)));
        data += socket.readAll();
    }
    data += socket.readAll();
    const int headEnd = data.indexOf("\r\n\r\n");
    if (headEnd < 0 || !data.startsWith("HTTP/1."))
        return reply;
    const QList<QByteArray> statusLine = data.left(data.indexOf("\r\n")).split(' ');
    if (statusLine.size() >= 2)
        reply.status = statusLine.at(1).toInt();
    reply.body = data.mid(headEnd + 4);
    return reply;
}

QByteArray KxDevCloud::fetch(const QString &bucket, const QString &remotePath) const
{
    QString rel = remotePath;
    while (rel.startsWith(QLatin1Char('/')))
        rel.remove(0, 1);
    const Reply r = request("GET", QStringLiteral("storage/") + bucket + QLatin1Char('/') + rel);
    return r.status == 200 ? r.body : QByteArray();
}

QJsonValue KxDevCloud::admin(const QString &what, const QMap<QString, QString> &params) const
{
    QUrlQuery query;
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        query.addQueryItem(it.key(), QString::fromLatin1(QUrl::toPercentEncoding(it.value())));
    QString path = QStringLiteral("_admin/") + what;
    if (!params.isEmpty())
        path += QLatin1Char('?') + query.toString(QUrl::FullyEncoded);
    const Reply r = request("GET", path);
    if (r.status != 200)
        return QJsonValue();
    const QJsonDocument doc = r.json();
    if (doc.isArray())
        return doc.array();
    if (doc.isObject())
        return doc.object();
    return QJsonValue();
}

QJsonArray KxDevCloud::journal(bool clear) const
{
    QMap<QString, QString> params;
    if (clear)
        params.insert(QStringLiteral("clear"), QStringLiteral("1"));
    return admin(QStringLiteral("journal"), params).toArray();
}

QJsonArray KxDevCloud::journalFor(const QString &path, const QString &method) const
{
    QJsonArray out;
    const QJsonArray all = journal();
    for (const QJsonValue &v : all) {
        const QJsonObject e = v.toObject();
        if (e.value(QStringLiteral("path")).toString() != path)
            continue;
        if (!method.isEmpty() && e.value(QStringLiteral("method")).toString() != method)
            continue;
        out.append(e);
    }
    return out;
}

bool KxDevCloud::addFault(const QString &pathPrefix, const QString &kind, int count, int status, int ms,
                          const QString &method) const
{
    QMap<QString, QString> p{{QStringLiteral("path"), pathPrefix},
                             {QStringLiteral("kind"), kind},
                             {QStringLiteral("count"), QString::number(count)},
                             {QStringLiteral("status"), QString::number(status)},
                             {QStringLiteral("ms"), QString::number(ms)}};
    if (!method.isEmpty())
        p.insert(QStringLiteral("method"), method);
    return admin(QStringLiteral("fault"), p).toObject().value(QStringLiteral("success")).toBool();
}

bool KxDevCloud::setOffline(bool on, int ms) const
{
    return admin(QStringLiteral("offline"),
                 {{QStringLiteral("on"), on ? QStringLiteral("1") : QStringLiteral("0")},
                  {QStringLiteral("ms"), QString::number(ms)}})
        .toObject()
        .value(QStringLiteral("success"))
        .toBool();
}

bool KxDevCloud::reverseNext(int count, const QString &pathPrefix, int waitMs) const
{
    return admin(QStringLiteral("reverse"), {{QStringLiteral("count"), QString::number(count)},
                                             {QStringLiteral("path"), pathPrefix},
                                             {QStringLiteral("wait_ms"), QString::number(waitMs)}})
        .toObject()
        .value(QStringLiteral("success"))
        .toBool();
}

QString KxDevCloud::writeVersionIni(const QStringList &extraCloudLines) const
{
    const QString path = scratchDir() + QStringLiteral("/version.ini");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    QByteArray text = "[Cloud]\nServerUrl=" + m_url.toUtf8() + "\n";
    for (const QString &line : extraCloudLines)
        text += line.toUtf8() + "\n";
    f.write(text);
    return path;
}

bool kxWaitUntil(const std::function<bool()> &cond, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(2);
    }
    return true;
}

KxScopedVersionIni::KxScopedVersionIni(const QString &path)
{
    m_hadOld = qEnvironmentVariableIsSet("KX_VERSION_INI");
    m_old = qgetenv("KX_VERSION_INI");
    qputenv("KX_VERSION_INI", path.toLocal8Bit());
}

KxScopedVersionIni::~KxScopedVersionIni()
{
    if (m_hadOld)
        qputenv("KX_VERSION_INI", m_old);
    else
        qunsetenv("KX_VERSION_INI");
}

void kxLoadNoQtPlugins()
{
    QCoreApplication::setLibraryPaths(QStringList());
}

// ThreadSanitizer cannot see the synchronisation inside libraries built
// without it: Qt Network runs a bearer-management thread (and, with its
// plugins, a D-Bus thread) whose allocations and frees inside Qt and glib
// are then reported as races. Calls that these libraries make into the
// sanitizer's interceptors are ignored; our own code stays fully checked.
extern "C" const char *__tsan_default_suppressions()
{
    return "called_from_lib:libQt5Core.so\n"
           "called_from_lib:libQt5Network.so\n"
           "called_from_lib:libQt5DBus.so\n"
           "called_from_lib:libglib-2.0.so\n";
}
