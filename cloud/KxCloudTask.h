#pragma once
// Records of the cloud module: one CloudTask per recording with its segments
// and snapshots, and one PendingRecordRequest per classroom-record request
// awaiting its reply. All of them live on the cloud module's thread only.

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>

/// One HLS segment of a recording.
struct CloudVideoItem {
    bool bUploaded = false;
    bool bRegistered = false;  ///< a registered playlist lists it
    bool bGivenUp = false;     ///< can never reach the class; reported
    double duration = 0;       ///< seconds
    QString localPath;
    QString remotePath;        ///< set when its upload has finished
};

/// One snapshot of a recording.
struct CloudPhotoItem {
    bool bUploaded = false;
    bool bRegistered = false;
    bool bGivenUp = false;      ///< can never reach the class; reported
    bool bSubmitted = false;    ///< its upload job was handed to the uploader
    QString localPath;
    QString remotePath;
};

/// The uploads of one recording. Owns its segment and snapshot records.
struct CloudTask {
    bool bStopped = false;      ///< stop was called; the task may now complete
    bool bVideosDone = false;   ///< last completion check found every segment done
    bool bPhotosDone = false;   ///< same for the snapshots
    bool bAlternate = false;    ///< remote playlist named with 2 instead of 1
    bool bUploading = false;    ///< a segment or the playlist after it is in flight
    bool bOnline = true;        ///< cleared for good when the network goes down
    bool bCancelled = false;    ///< the recording was discarded
    bool bBucketKnown = false;  ///< its bucket query was answered: pieces go out
    bool bBucketLost = false;   ///< its bucket query was given up: pieces cannot
    bool bNoticePending = false;  ///< every piece ended; the completion notice is on its way

    QString taskId;
    QString name;
    QString classroomId;
    QString shareText;
    QString bucket;
    double size = 0;            ///< KiB of the uploaded segments
    double length = 0;          ///< seconds of the uploaded segments
    int jobsInFlight = 0;       ///< upload jobs submitted and not yet ended
    /// Module clock at the first failure of any job or request of the task
    /// since its last success (-1: none). The retry bound runs from here for
    /// the whole task, so that pieces retried one after another do not each
    /// get a bound of their own.
    qint64 failingSinceMs = -1;
    /// Playlist records go out one at a time, in order: the request code of
    /// the one on its way (0: none) and of the newest one waiting for it.
    quint64 playlistRecordSent = 0;
    quint64 playlistRecordNext = 0;
    QStringList givenUp;        ///< file names of the pieces given up
    QList<CloudVideoItem *> segments;       ///< in order of arrival
    QMap<QString, CloudPhotoItem *> snapshots;  ///< by photo id

    CloudTask(const QString &id, const QString &taskName)
        : taskId(id), name(taskName) {}
    ~CloudTask()
    {
        qDeleteAll(segments);
        qDeleteAll(snapshots);
    }
    CloudTask(const CloudTask &) = delete;
    CloudTask &operator=(const CloudTask &) = delete;

    /// The next segment of the chain: neither uploaded nor given up.
    CloudVideoItem *firstNotUploaded() const
    {
        for (CloudVideoItem *item : segments)
            if (!item->bUploaded && !item->bGivenUp)
                return item;
        return nullptr;
    }
    /// Segments before the next one of the chain (uploaded or given up):
    /// those a playlist written now accounts for.
    int settledSegments() const
    {
        int n = 0;
        for (const CloudVideoItem *item : segments) {
            if (!item->bUploaded && !item->bGivenUp)
                break;
            ++n;
        }
        return n;
    }
    int registeredPieces() const
    {
        int n = 0;
        for (const CloudVideoItem *item : segments)
            n += item->bRegistered ? 1 : 0;
        for (const CloudPhotoItem *item : snapshots)
            n += item->bRegistered ? 1 : 0;
        return n;
    }
};

/// A bucket query, classroom-record request or completion notice awaiting
/// its reply, keyed by its request code; kept until answered or given up,
/// so that a failed request can be sent again as it was.
struct PendingRecordRequest {
    enum Kind { Record, Notice, Bucket };
    Kind kind = Record;
    /// Not sent yet: a snapshot record waiting for its classroom id, or a
    /// playlist record waiting for the one before it.
    bool held = false;
    QString taskId;
    int32_t isPhoto = 0;
    QString localPath;
    QString photoId;            ///< empty for playlist records
    /// Playlist records: how many leading segments the registered playlist
    /// accounts for (-1 when not known); its reply marks the uploaded ones
    /// among them as registered.
    int listedSegments = -1;
    QMap<QString, QString> params;  ///< as sent
    int failures = 0;               ///< failed attempts in a row
};

/// Names shared by the parts of the cloud module.
namespace kxcloud {
/// Upload job types.
constexpr int TypePlaylist = 2;
constexpr int TypeSnapshot = 3;
constexpr int TypeSegment = 4;
/// The API paths of the service.
constexpr char PathBucket[] = "api/bucket/bucket";
constexpr char PathRecord[] = "api/merioclass/merioclassroom";
constexpr char PathDone[] = "api/merioclass/sendsure";
/// The request code travels in the requester's mark ("<path>#<code>"),
/// which comes back with the answer or the failure of that very request.
constexpr char MarkSeparator = '#';
/// Failed requests wait this long before the next attempt, doubling with
/// every failure in a row.
constexpr int FirstRetryPauseMs = 500;
constexpr int MaxRetryPauseMs = 10000;
}  // namespace kxcloud
