#include "KxNetWorkManager.h"

#include "KxHttpProbe.h"
#include "KxUploader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSettings>
#include <QThread>

namespace {

// Every connection of the manager asks the configuration, so the product
// follows the system's proxy settings while loopback stays direct.
class KxProxyFactory : public QNetworkProxyFactory {
public:
    explicit KxProxyFactory(const KxNetrelayConfig &cfg) : m_cfg(cfg) {}
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        return {m_cfg.proxyFor(query.url())};
    }

private:
    const KxNetrelayConfig m_cfg;
};

std::mutex g_instLock;
QPointer<KxNetWorkManager> g_inst;  // guarded by g_instLock

// Arms a single-shot timer that aborts reply after ms; *timedOut tells the
// finished handler that the abort was ours.
void armTimeout(QNetworkReply *reply, int ms, std::shared_ptr<bool> timedOut)
{
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, [reply, timedOut] {
        *timedOut = true;
        reply->abort();
    });
    timer->start(ms);
    kxLimitAnswer(reply);
}

}  // namespace

void kxRegisterNetrelayMetaTypes()
{
    qRegisterMetaType<ErrorInfo>("ErrorInfo");
    qRegisterMetaType<IKxNetWorkManager *>("IKxNetWorkManager*");
}

IKxNetWorkManager *KxNetrelay::getInst(QObject *parent)
{
    std::lock_guard<std::mutex> guard(g_instLock);
    if (!g_inst) {
        kxRegisterNetrelayMetaTypes();
        g_inst = new KxNetWorkManager(KxNetrelayConfig::load(), parent);
    }
    return g_inst.data();
}

bool KxNetWorkManager::liveConfig(KxNetrelayConfig *out)
{
    std::lock_guard<std::mutex> guard(g_instLock);
    if (!g_inst)
        return false;
    *out = g_inst->m_cfg;
    return true;
}

void kxLimitAnswer(QNetworkReply *reply)
{
    auto refuse = [reply](qint64 bytes) {
        if (bytes <= KxMaxAnswerBytes || reply->property("kxTooLarge").toBool())
            return;
        reply->setProperty("kxTooLarge", true);
        qWarning() << "kxLimitAnswer" << "answer too large, refused:" << bytes << "bytes from"
                   << KxNetrelayConfig::logText(reply->url());
        reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, refuse] {
        refuse(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [refuse](qint64 received, qint64) {
        refuse(received);
    });
}

bool kxAnswerTooLarge(const QNetworkReply *reply)
{
    return reply->property("kxTooLarge").toBool();
}

KxReplyOutcome kxClassifyReply(QNetworkReply *reply, bool timedOut)
{
    KxReplyOutcome out;
    const QVariant statusAttr = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (timedOut) {
        out.kind = KxReplyOutcome::Timeout;
        return out;
    }
    if (kxAnswerTooLarge(reply)) {
        out.kind = KxReplyOutcome::TooLarge;
        out.status = statusAttr.toInt();
        return out;
    }
    if (!statusAttr.isValid()) {
        // No HTTP answer at all: refused, unknown host, closed, broken.
        out.kind = KxReplyOutcome::ConnectError;
        return out;
    }
    out.status = statusAttr.toInt();
    if (out.status == 401 || out.status == 403) {
        out.kind = KxReplyOutcome::AuthError;
        return out;
    }
    if (out.status < 200 || out.status >= 300) {
        out.kind = KxReplyOutcome::HttpError;
        return out;
    }
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(reply->readAll(), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) {
        out.kind = KxReplyOutcome::HttpError;
        return out;
    }
    out.kind = KxReplyOutcome::Json;
    out.body = doc.object();
    return out;
}

// ---------------------------------------------------------------- manager

KxNetWorkManager::KxNetWorkManager(const KxNetrelayConfig &cfg, QObject *parent)
    : QObject(parent)
    , m_cfg(cfg)
    , m_nam(new QNetworkAccessManager(this))
    , m_probe(new KxConnectivityProbe(cfg, this))
    , m_requester(new KxHttpRequester(cfg, m_nam, this))
    , m_uploader(new KxUploader(cfg, m_nam, this))
    , m_reporter(new KxActionReporter(cfg, m_nam, this))
    , m_update(new KxSoftWareUpdate(cfg, m_nam, this))
{
    setObjectName(QStringLiteral("KxNetWorkManager"));
    m_nam->setProxyFactory(new KxProxyFactory(cfg));
    qInfo() << "KxNetWorkManager::KxNetWorkManager" << "server" << KxNetrelayConfig::logText(cfg.serverUrl)
            << "storage" << KxNetrelayConfig::logText(cfg.storageUrl) << "config" << KxNetrelayConfig::versionIniPath()
            << "system proxy" << cfg.useSystemProxy << "CaBundle" << cfg.caBundlePath << "authorities" << cfg.trustedCas.size();
    if (!cfg.hasServer())
        qWarning() << "KxNetWorkManager::KxNetWorkManager" << "no Cloud/ServerUrl: working offline";
}

KxNetWorkManager::~KxNetWorkManager()
{
    qInfo() << "KxNetWorkManager::~KxNetWorkManager";
    // The uploader aborts its transfers before the access manager goes.
    delete m_uploader;
    m_uploader = nullptr;
}

IKxConnectivityProbe *KxNetWorkManager::connectivityProbe() { return m_probe; }
IKxHttpRequester *KxNetWorkManager::httpRequester() { return m_requester; }
IKxUploader *KxNetWorkManager::uploader() { return m_uploader; }
IKxActionReporter *KxNetWorkManager::actionReporter() { return m_reporter; }
IKxSoftWareUpdate *KxNetWorkManager::softwareUpdate() { return m_update; }

// ------------------------------------------------------------------ probe

KxConnectivityProbe::KxConnectivityProbe(const KxNetrelayConfig &cfg, QObject *parent)
    : QObject(parent), m_cfg(cfg)
{
}

bool KxConnectivityProbe::isReachable(int ms)
{
    if (!m_cfg.hasServer())
        return false;
    const bool ok = kxProbeHttp(m_cfg, ms);
    qDebug() << "KxConnectivityProbe::isReachable" << ms << ok;
    return ok;
}

// -------------------------------------------------------------- requester

KxHttpRequester::KxHttpRequester(const KxNetrelayConfig &cfg, QNetworkAccessManager *nam, QObject *parent)
    : QObject(parent), m_cfg(cfg), m_nam(nam)
{
}

QByteArray KxHttpRequester::encodeParams(const QMap<QString, QString> &params)
{
    QByteArray out;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (!out.isEmpty())
            out += '&';
        out += QUrl::toPercentEncoding(it.key()) + '=' + QUrl::toPercentEncoding(it.value());
    }
    return out;
}

void KxHttpRequester::post(const QMap<QString, QString> &params, const QString &path, const QString &mark, int flag)
{
    Q_UNUSED(flag);
    kxRunOnThreadOf(this, [this, params, path, mark] { send(true, params, path, mark); });
}

void KxHttpRequester::get(const QMap<QString, QString> &params, const QString &path, const QString &mark, int flag)
{
    Q_UNUSED(flag);
    kxRunOnThreadOf(this, [this, params, path, mark] { send(false, params, path, mark); });
}

void KxHttpRequester::send(bool isPost, const QMap<QString, QString> &params, const QString &path,
                           const QString &mark)
{
    const QString tag = mark.isEmpty() ? path : mark;
    if (!m_cfg.hasServer()) {
        qWarning() << "KxHttpRequester::send" << "no server configured" << path;
        // Reported from the event loop, never from inside the caller's call.
        QMetaObject::invokeMethod(this, &KxHttpRequester::sglHttpConnectError, Qt::QueuedConnection);
        return;
    }
    QUrl url = KxNetrelayConfig::resolve(m_cfg.serverUrl, path);
    const QByteArray encoded = encodeParams(params);
    if (!isPost && !encoded.isEmpty())
        url.setQuery(QString::fromLatin1(encoded), QUrl::StrictMode);
    QNetworkRequest req(url);
    req.setRawHeader("Accept", "application/json");
    m_cfg.prepare(&req);
    QNetworkReply *reply;
    if (isPost) {
        req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
        reply = m_nam->post(req, encoded);
    } else {
        reply = m_nam->get(req);
    }
    const QString urlText = KxNetrelayConfig::logText(url);
    qDebug() << "KxHttpRequester::send" << (isPost ? "POST" : "GET") << urlText;
    auto timedOut = std::make_shared<bool>(false);
    armTimeout(reply, m_cfg.requestTimeoutMs, timedOut);
    connect(reply, &QNetworkReply::finished, this, [this, reply, tag, urlText, timedOut] {
        reply->deleteLater();
        const KxReplyOutcome out = kxClassifyReply(reply, *timedOut);
        switch (out.kind) {
        case KxReplyOutcome::Json:
            emit sglHttpRequestFinish(tag, out.body, urlText);
            break;
        case KxReplyOutcome::HttpError:
            qWarning() << "KxHttpRequester::send" << "error" << out.status << urlText;
            emit sglHttpRequestError(tag, out.status, urlText);
            emit sglHttpRequestFailed(tag, out.status, urlText);
            break;
        case KxReplyOutcome::TooLarge:
            qWarning() << "KxHttpRequester::send" << "answer too large" << out.status << urlText;
            emit sglHttpRequestError(tag, out.status, urlText);
            emit sglHttpRequestFailed(tag, KxHttpAnswerTooLarge, urlText);
            break;
        case KxReplyOutcome::AuthError:
            qWarning() << "KxHttpRequester::send" << "not authorised" << out.status << urlText;
            emit sglHttpAuthenticateError();
            emit sglHttpRequestFailed(tag, out.status, urlText);
            break;
        case KxReplyOutcome::ConnectError:
            qWarning() << "KxHttpRequester::send" << "connection failed" << reply->errorString() << urlText;
            emit sglHttpConnectError();
            emit sglHttpRequestFailed(tag, KxHttpConnectFailed, urlText);
            break;
        case KxReplyOutcome::Timeout:
            qWarning() << "KxHttpRequester::send" << "timed out" << urlText;
            emit sglhttptimeout();
            emit sglHttpRequestFailed(tag, KxHttpTimedOut, urlText);
            break;
        }
    });
}

// --------------------------------------------------------- action reporter

KxActionReporter::KxActionReporter(const KxNetrelayConfig &cfg, QNetworkAccessManager *nam, QObject *parent)
    : QObject(parent), m_cfg(cfg), m_nam(nam)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &KxActionReporter::sendBatch);
}

void KxActionReporter::setAppInfo(const QString &appKey, const QString &appName, const QString &version)
{
    qInfo() << "KxActionReporter::setAppInfo" << appKey << appName << version;
    std::lock_guard<std::mutex> guard(m_lock);
    m_appKey = appKey;
    m_appName = appName;
    m_version = version;
}

void KxActionReporter::setUploadSize(int size)
{
    qInfo() << "KxActionReporter::setUploadSize" << size;
    std::lock_guard<std::mutex> guard(m_lock);
    m_batch = size > 0 ? size : DefaultBatch;
}

void KxActionReporter::addAction(const QString &id, const QJsonObject &info)
{
    QJsonObject action;
    action.insert(QStringLiteral("action"), id);
    action.insert(QStringLiteral("uuid"), info.value(QStringLiteral("uuid")).toString());
    action.insert(QStringLiteral("time"), QDateTime::currentMSecsSinceEpoch());
    action.insert(QStringLiteral("info"), info);
    bool post = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        action.insert(QStringLiteral("appKey"), m_appKey);
        action.insert(QStringLiteral("appName"), m_appName);
        action.insert(QStringLiteral("version"), m_version);
        m_queue.push_back(action);
        while (int(m_queue.size()) > MaxQueued) {
            m_queue.pop_front();
            ++m_dropped;
        }
        if (!m_schedulePosted) {
            m_schedulePosted = true;
            post = true;
        }
    }
    if (post)
        QMetaObject::invokeMethod(this, &KxActionReporter::schedule, Qt::QueuedConnection);
}

quint64 KxActionReporter::droppedCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dropped;
}

int KxActionReporter::queuedCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return int(m_queue.size());
}

quint64 KxActionReporter::sentCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_sent;
}

void KxActionReporter::schedule()
{
    size_t queued;
    int batch;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_schedulePosted = false;
        queued = m_queue.size();
        batch = m_batch;
    }
    if (!m_cfg.hasServer() || !m_inFlight.isEmpty() || queued == 0)
        return;
    if (m_failuresInRow > 0 && m_timer.isActive())
        return;  // backing off after a failure
    if (int(queued) >= batch) {
        m_timer.stop();
        sendBatch();
    } else if (!m_timer.isActive()) {
        m_timer.start(SendDelayMs);
    }
}

void KxActionReporter::sendBatch()
{
    if (!m_inFlight.isEmpty() || !m_cfg.hasServer())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        while (!m_queue.empty() && m_inFlight.size() < m_batch) {
            m_inFlight.append(m_queue.front());
            m_queue.pop_front();
        }
    }
    if (m_inFlight.isEmpty())
        return;
    QNetworkRequest req(KxNetrelayConfig::resolve(m_cfg.serverUrl, QStringLiteral("api/action/report")));
    m_cfg.prepare(&req);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QJsonObject body;
    body.insert(QStringLiteral("actions"), m_inFlight);
    QNetworkReply *reply = m_nam->post(req, QJsonDocument(body).toJson(QJsonDocument::Compact));
    auto timedOut = std::make_shared<bool>(false);
    armTimeout(reply, m_cfg.requestTimeoutMs, timedOut);
    connect(reply, &QNetworkReply::finished, this, [this, reply, timedOut] { onBatchFinished(reply, *timedOut); });
}

void KxActionReporter::onBatchFinished(QNetworkReply *reply, bool timedOut)
{
    reply->deleteLater();
    const KxReplyOutcome out = kxClassifyReply(reply, timedOut);
    const bool ok = out.kind == KxReplyOutcome::Json && out.body.value(QStringLiteral("success")).toBool();
    const QJsonArray batch = m_inFlight;
    m_inFlight = QJsonArray();
    if (ok) {
        m_failuresInRow = 0;
        std::lock_guard<std::mutex> guard(m_lock);
        m_sent += quint64(batch.size());
    } else {
        ++m_failuresInRow;
        std::lock_guard<std::mutex> guard(m_lock);
        // Back at the head in their order; the bound still holds.
        for (int i = batch.size() - 1; i >= 0; --i)
            m_queue.push_front(batch.at(i).toObject());
        while (int(m_queue.size()) > MaxQueued) {
            m_queue.pop_front();
            ++m_dropped;
        }
    }
    if (!ok) {
        qWarning() << "KxActionReporter::onBatchFinished" << "report failed, kept" << batch.size() << "actions";
        const int pause = int(qMin<qint64>(60000, qint64(SendDelayMs) << qMin(m_failuresInRow - 1, 5)));
        m_timer.start(pause);
        return;
    }
    schedule();
}

// --------------------------------------------------------- software update

KxSoftWareUpdate::KxSoftWareUpdate(const KxNetrelayConfig &cfg, QNetworkAccessManager *nam, QObject *parent)
    : QObject(parent), m_cfg(cfg), m_nam(nam)
{
}

void KxSoftWareUpdate::emitError(int code, const QString &message)
{
    qWarning() << "KxSoftWareUpdate::signalError" << code << message;
    ErrorInfo info;
    info.code = code;
    info.message = message;
    // Always from the event loop, so a caller never re-enters itself.
    QMetaObject::invokeMethod(this, [this, info] { emit signalError(info); }, Qt::QueuedConnection);
}

void KxSoftWareUpdate::checkUpdate(const QJsonObject &request)
{
    kxRunOnThreadOf(this, [this, request] {
        qInfo() << "KxSoftWareUpdate::checkUpdate" << request;
        if (!m_cfg.hasServer()) {
            emitError(KxUpdateErrorNetwork, QStringLiteral("no server configured"));
            return;
        }
        QMap<QString, QString> params;
        const QString iniPath = request.value(QStringLiteral("versionInfoFilePath")).toString();
        if (!iniPath.isEmpty()) {
            QSettings ini(iniPath, QSettings::IniFormat);
            ini.setIniCodec("UTF-8");
            params.insert(QStringLiteral("appKey"), ini.value(QStringLiteral("versionInformation/appKey")).toString());
            params.insert(QStringLiteral("appName"), ini.value(QStringLiteral("versionInformation/appName")).toString());
            params.insert(QStringLiteral("version"), ini.value(QStringLiteral("versionInformation/version")).toString());
        }
        QUrl url = KxNetrelayConfig::resolve(m_cfg.serverUrl, QStringLiteral("api/version/check"));
        const QByteArray query = KxHttpRequester::encodeParams(params);
        if (!query.isEmpty())
            url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
        QNetworkRequest req(url);
        req.setRawHeader("Accept", "application/json");
        m_cfg.prepare(&req);
        QNetworkReply *reply = m_nam->get(req);
        auto timedOut = std::make_shared<bool>(false);
        armTimeout(reply, m_cfg.requestTimeoutMs, timedOut);
        connect(reply, &QNetworkReply::finished, this, [this, reply, timedOut] {
            reply->deleteLater();
            const KxReplyOutcome out = kxClassifyReply(reply, *timedOut);
            switch (out.kind) {
            case KxReplyOutcome::Json:
                if (out.body.value(QStringLiteral("success")).toBool()) {
                    emit sigAllVersionCheckResult(out.body);
                } else {
                    emitError(KxUpdateErrorAnswer, out.body.value(QStringLiteral("message")).toString());
                }
                break;
            case KxReplyOutcome::HttpError:
            case KxReplyOutcome::AuthError:
            case KxReplyOutcome::TooLarge:
                emitError(KxUpdateErrorAnswer, QStringLiteral("HTTP status %1").arg(out.status));
                break;
            case KxReplyOutcome::ConnectError:
                emitError(KxUpdateErrorNetwork, reply->errorString());
                break;
            case KxReplyOutcome::Timeout:
                emitError(KxUpdateErrorNetwork, QStringLiteral("timed out"));
                break;
            }
        });
    });
}

void KxSoftWareUpdate::startUpdate(const QJsonObject &info)
{
    kxRunOnThreadOf(this, [this, info] {
        QString dir = QString::fromLocal8Bit(qgetenv("KX_UPDATER_DIR"));
        if (dir.isEmpty())
            dir = QCoreApplication::applicationDirPath();
        const QString program = QDir(dir).filePath(QString::fromLatin1(UpdaterName));
        qInfo() << "KxSoftWareUpdate::startUpdate" << program;
        const QFileInfo fi(program);
        if (!fi.isFile() || !fi.isExecutable()) {
            emitError(KxUpdateErrorUpdaterMissing, QStringLiteral("updater not found: ") + program);
            return;
        }
        const QString arg = QString::fromUtf8(QJsonDocument(info).toJson(QJsonDocument::Compact));
        if (!QProcess::startDetached(program, {arg}, dir))
            emitError(KxUpdateErrorUpdaterMissing, QStringLiteral("updater did not start: ") + program);
    });
}
