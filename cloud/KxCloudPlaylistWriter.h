#pragma once
// The remote playlist of one upload task: what it lists and how it is
// written to the task's local playlist file before each upload.
//
// Every version is a complete, closed playlist of the segments in the bucket
// so far, in recording order. A segment that was given up leaves a hole in
// the lesson; the next listed segment is preceded by #EXT-X-DISCONTINUITY so
// that players reset their timeline there instead of stalling at the jump.
//
// Threads: the cloud module's thread only.

#include <QByteArray>
#include <QString>

struct CloudTask;

class KxCloudPlaylistWriter {
public:
    /// The playlist text of the task as it stands.
    static QByteArray text(const CloudTask &task);
    /// "%1/%2.m3u8" in folder, creating folder when missing.
    static QString localPath(const QString &folder, const QString &taskId);
    /// Writes text(task) to path, beside the old file and renamed over it,
    /// so that an upload in flight keeps reading a complete version. False
    /// (logged) when the file cannot be written.
    static bool write(const QString &path, const CloudTask &task);
};
