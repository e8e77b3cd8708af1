#include "KxCloudPlaylistWriter.h"

#include "KxCloudTask.h"

#include <QDebug>
#include <QDir>
#include <QSaveFile>

QByteArray KxCloudPlaylistWriter::text(const CloudTask &task)
{
    QByteArray out = QStringLiteral("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:%1\n#EXT-X-MEDIA-SEQUENCE:0\n")
                         .arg(11)
                         .toUtf8();
    bool hole = false;
    for (const CloudVideoItem *seg : task.segments) {
        if (seg->bGivenUp) {
            hole = true;
            continue;
        }
        if (!seg->bUploaded)
            break;
        if (hole)
            out += "#EXT-X-DISCONTINUITY\n";
        hole = false;
        out += QStringLiteral("#EXTINF:%1,\n%2\n").arg(QString::number(seg->duration, 'g', 6), seg->remotePath).toUtf8();
    }
    out += "#EXT-X-ENDLIST\n";
    return out;
}

QString KxCloudPlaylistWriter::localPath(const QString &folder, const QString &taskId)
{
    QDir dir(folder);
    if (!dir.exists() && !QDir().mkpath(folder))
        qDebug() << "KxModuleClound::createLocalM3U8FilePath" << "mkpath failed." << folder;
    return QStringLiteral("%1/%2.m3u8").arg(folder, taskId);
}

bool KxCloudPlaylistWriter::write(const QString &path, const CloudTask &task)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qDebug() << "KxModuleClound::updateM3U8" << "file open fail." << path << file.errorString();
        return false;
    }
    const QByteArray content = text(task);
    qDebug() << "KxModuleClound::updateM3U8" << task.segments.size();
    if (file.write(content) != content.size() || !file.commit()) {
        qWarning() << "KxModuleClound::updateM3U8" << "file write fail." << path << file.errorString();
        return false;
    }
    return true;
}
