#pragma once
// The network manager: the one gateway of the program to the cloud service.
//
// KxNetrelay::getInst hands out one process-wide IKxNetWorkManager, which in
// turn hands out five services: a reachability probe, an HTTP requester, a
// file uploader, a user-action reporter and a software-update service.
//
// Threads. The manager and its services live on the thread that first
// called getInst (the main thread in the program); their signals are
// emitted there. Every operation below may be called from any thread and
// never blocks the caller, except IKxConnectivityProbe::isReachable, which
// blocks the calling thread for at most the time it is given. Calls made on
// other threads are queued to the manager's thread and keep their order.
//
// Signals. The services are interfaces; each one's qobject() returns the
// QObject that emits its signals. Connect by signature, for instance
//   connect(req->qobject(), SIGNAL(sglHttpRequestFinish(QString,QJsonObject,QString)),
//           this, SLOT(onFinish(QString,QJsonObject,QString)));
//
// Configuration. The service's address is read once, when the manager is
// created, from the file "version.ini" beside the program
// (QCoreApplication::applicationDirPath()), or from the file named by the
// environment variable KX_VERSION_INI when that is set. Group "Cloud":
//   ServerUrl         base of the API paths, e.g. http://127.0.0.1:8080/
//                     (a missing final "/" is added)
//   StorageUrl        base of the uploads; default ServerUrl + "storage/"
//   RequestTimeoutMs  bound of one API request and of upload inactivity,
//                     default 15000
//   MonitorIntervalMs pause between two probes of KxInternetMonitor,
//                     default 3000
//   RetryLimitMs      how long the cloud module keeps trying a piece that
//                     fails for passing reasons before giving it up,
//                     default 600000 (10 minutes)
//   Proxy             "system" (default): the system's proxy settings
//                     (http_proxy, https_proxy, no_proxy) apply; "none":
//                     every connection is direct. Loopback hosts are always
//                     reached directly.
//   CaBundle          PEM file of certificate authorities trusted for https
//                     besides the system's (a school's own authority);
//                     the system's store (/etc/ssl/certs) is used in any case
// A StorageUrl with plain http beside an https ServerUrl is not used (the
// default below ServerUrl is taken, with a warning). Logged URLs never carry
// user name or password.
// Without a ServerUrl the manager still exists: every request fails at once
// with a connection error, every upload with KxUploadNoServer, the probe
// answers false and the monitor reports offline.

#include <QJsonObject>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QString>

/// Error of the software-update service (signal signalError).
struct ErrorInfo {
    /// KxUpdateErrorUpdaterMissing, KxUpdateErrorNetwork or KxUpdateErrorAnswer.
    int code = 0;
    QString message;  ///< English text for the log
};
Q_DECLARE_METATYPE(ErrorInfo)

enum KxUpdateErrorCode : int {
    KxUpdateErrorUpdaterMissing = 1,  ///< the updater program is not beside the program
    KxUpdateErrorNetwork = 2,         ///< the service could not be reached or timed out
    KxUpdateErrorAnswer = 3,          ///< the service answered with an error or no JSON object
};

/// Failure codes of IKxUploader::signalUploadFinished besides HTTP statuses
/// (an HTTP error is reported with its status, e.g. 500).
enum KxUploadResult : int {
    KxUploadOk = 0,
    KxUploadFileError = -1,    ///< the local file is missing or unreadable
    KxUploadConnectError = -2, ///< refused, host unknown, or the connection broke
    KxUploadTimeout = -3,      ///< no progress within the request time-out
    KxUploadBadJob = -4,       ///< "localPath", "remotePath" or "bucketName" missing, or a
                               ///< bucket or remote path that would leave the bucket ("..")
    KxUploadNoServer = -5,     ///< no ServerUrl configured
    KxUploadAnswerTooLarge = -6, ///< the answer was larger than 1 MiB
};

/// Codes of IKxHttpRequester's sglHttpRequestFailed besides HTTP statuses.
enum KxHttpFailure : int {
    KxHttpConnectFailed = -2,   ///< refused, host unknown, TLS refused, broken
    KxHttpTimedOut = -3,        ///< no complete answer within RequestTimeoutMs
    KxHttpAnswerTooLarge = -6,  ///< the answer was larger than 1 MiB
};

/// Reachability of the cloud service.
class IKxConnectivityProbe {
public:
    virtual ~IKxConnectivityProbe() = default;
    /// The object that would emit this service's signals (it has none).
    virtual QObject *qobject() = 0;
    /// Asks the service for an HTTP answer (any status counts) and waits for
    /// it at most ms milliseconds on the calling thread, which may be any.
    /// Returns true when an answer came in time; false on refusal, broken
    /// connection, time-out, or when no ServerUrl is configured.
    virtual bool isReachable(int ms) = 0;
};

/// API requests. Signals, emitted on the manager's thread, one per request:
///  - sglHttpRequestFinish(QString path, QJsonObject body, QString url):
///    a 2xx answer whose body is a JSON object;
///  - sglHttpRequestError(QString path, int status, QString url): another
///    HTTP status, or a 2xx answer whose body is not a JSON object;
///  - sglHttpAuthenticateError(): HTTP 401 or 403;
///  - sglHttpConnectError(): refused, unresolvable host, connection closed
///    without an answer, or no ServerUrl configured;
///  - sglhttptimeout(): no complete answer within RequestTimeoutMs;
///  - sglHttpRequestFailed(QString path, int code, QString url): besides
///    each of the four failure signals above, naming the request: code is
///    the HTTP status (also 401/403), or a KxHttpFailure.
/// "path" is the request's mark when the mark is not empty, else its path.
/// Answers larger than 1 MiB are refused (sglHttpRequestError with the
/// status, and sglHttpRequestFailed with KxHttpAnswerTooLarge). A TLS
/// certificate that is not trusted counts as a connection failure.
class IKxHttpRequester {
public:
    virtual ~IKxHttpRequester() = default;
    /// The object that emits the signals listed above.
    virtual QObject *qobject() = 0;
    /// Sends a POST to ServerUrl + path with params as an
    /// application/x-www-form-urlencoded body. path is relative to
    /// ServerUrl ("api/bucket/bucket"); mark is echoed in place of the path
    /// in the signals when not empty; flag is reserved (pass 0).
    virtual void post(const QMap<QString, QString> &params, const QString &path,
                      const QString &mark, int flag) = 0;
    /// Sends a GET to ServerUrl + path with params as the URL query.
    /// Arguments as for post.
    virtual void get(const QMap<QString, QString> &params, const QString &path,
                     const QString &mark, int flag) = 0;
};

/// File uploads: an HTTP PUT of the file, streamed from disk, to
/// StorageUrl + bucketName + remotePath, with the content type of the file's
/// extension. At most three transfers run at a time; the others wait in the
/// order of submission.
///
/// A job is a JSON object with at least "localPath", "remotePath" and
/// "bucketName" (strings); any other keys travel along untouched.
/// Signal, emitted on the manager's thread:
///  - signalUploadFinished(int result, QJsonObject job): exactly once per
///    job that was neither cancelled nor stopped; result 0 on success, else
///    an HTTP status or a KxUploadResult code; job is the object exactly as
///    submitted.
/// An answer must come within RequestTimeoutMs of the last byte sent; a
/// server that trickles its answer does not extend that. Answers larger
/// than 1 MiB are refused (KxUploadAnswerTooLarge).
/// A job equal in localPath, remotePath and bucketName to one whose last
/// attempt failed starts only after a pause that grows with every failure in
/// a row (0.5 s, doubling, at most 10 s), so a failing server is not
/// hammered by callers that resubmit at once; a success resets it.
class IKxUploader {
public:
    virtual ~IKxUploader() = default;
    /// The object that emits signalUploadFinished.
    virtual QObject *qobject() = 0;
    /// Queues one transfer. The uploader keeps a copy of job.
    virtual void upload(const QJsonObject &job) = 0;
    /// Ends every running and waiting job; none of them is reported.
    virtual void stopAll() = 0;
    /// Ends the running or waiting jobs of that file (all three must match);
    /// they are not reported. Unknown files are ignored. An empty remotePath
    /// matches any remote path of that local file and bucket.
    virtual void cancel(const QString &localPath, const QString &remotePath,
                        const QString &bucketName) = 0;
};

/// User-action reports. Actions are queued (at most 1000; the oldest are
/// dropped beyond that and counted) and sent in batches as one JSON object
/// {"actions": [...]} with a POST to ServerUrl + "api/action/report". Each
/// action is {"action": id, "uuid": info["uuid"], "appKey", "appName",
/// "version", "time": milliseconds since the epoch (UTC), "info": info}.
/// A batch that fails is kept and sent again after a growing pause.
class IKxActionReporter {
public:
    virtual ~IKxActionReporter() = default;
    /// The object that would emit this service's signals (it has none).
    virtual QObject *qobject() = 0;
    /// Identity stamped on every following action.
    virtual void setAppInfo(const QString &appKey, const QString &appName, const QString &version) = 0;
    /// Actions per batch; 0 or less keeps the default of 20.
    virtual void setUploadSize(int size) = 0;
    /// Queues one action. Never blocks; a batch goes out when it is full or
    /// at the latest two seconds later.
    virtual void addAction(const QString &id, const QJsonObject &info) = 0;
};

/// Update check and hand-over to the updater program.
/// Signals, emitted on the manager's thread:
///  - sigAllVersionCheckResult(QJsonObject answer): the service's answer
///    object to checkUpdate;
///  - signalError(ErrorInfo): checkUpdate failed, or startUpdate found no
///    updater program.
class IKxSoftWareUpdate {
public:
    virtual ~IKxSoftWareUpdate() = default;
    /// The object that emits the signals listed above.
    virtual QObject *qobject() = 0;
    /// Asks ServerUrl + "api/version/check" (GET) with "appKey", "appName"
    /// and "version" read from group "versionInformation" of the INI file
    /// named by request["versionInfoFilePath"]. Answers with one signal.
    virtual void checkUpdate(const QJsonObject &request) = 0;
    /// Starts the updater program "NorviSoftwareUpdate" in the program's
    /// folder (or in KX_UPDATER_DIR when that variable is set), detached,
    /// with the compact JSON text of info as its one argument. Emits
    /// signalError with KxUpdateErrorUpdaterMissing when the program is
    /// not there or cannot be started.
    virtual void startUpdate(const QJsonObject &info) = 0;
};

/// The process-wide network manager.
class IKxNetWorkManager {
public:
    virtual ~IKxNetWorkManager() = default;
    /// The manager's own QObject. Deleting it deletes the manager and its
    /// services; the next getInst then creates a new manager.
    virtual QObject *qobject() = 0;
    // The services live as long as the manager; the manager owns them.
    virtual IKxConnectivityProbe *connectivityProbe() = 0;
    virtual IKxHttpRequester *httpRequester() = 0;
    virtual IKxUploader *uploader() = 0;
    virtual IKxActionReporter *actionReporter() = 0;
    virtual IKxSoftWareUpdate *softwareUpdate() = 0;
};
Q_DECLARE_METATYPE(IKxNetWorkManager *)

class KxNetrelay {
public:
    /// Returns the process-wide manager, creating it on the first call (on
    /// the calling thread, reading the configuration then). parent becomes
    /// the manager's QObject parent only when the manager is created; later
    /// calls ignore it. The caller does not own the result; it lives until
    /// its qobject() is deleted (by its parent, or explicitly).
    static IKxNetWorkManager *getInst(QObject *parent);
};

/// Registers ErrorInfo and IKxNetWorkManager* with Qt's meta-type system
/// (getInst does it too). Safe to call more than once.
void kxRegisterNetrelayMetaTypes();
