#include "KxMerioSettingsData.h"

#include <QDebug>
#include <QDir>

#include <unistd.h>

KxMerioSettingsData *KxMerioSettingsData::instance()
{
    static KxMerioSettingsData settings;
    return &settings;
}

KxMerioSettingsData::KxMerioSettingsData()
{
    m_documentsPath = QString("%1\\Documents\\NorviClass\\NorviMerioShare").arg(QDir::homePath());
    m_documentsPath.replace('\\', '/');
    qDebug() << "uPath: " << m_documentsPath;
    m_tmpPath = QDir::tempPath() + QString("/NorviMerioShare-%1").arg(::getuid());
    m_cameraPattern = devicePattern();
    m_audioPattern = microphonePattern();
}

KxMerioSettingsData::~KxMerioSettingsData()
{
    qDebug() << "KxMerioSettingsData::~KxMerioSettingsData";
}

QString KxMerioSettingsData::devicePattern()
{
    return QStringLiteral("\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$");
}

KxCommanderConfig KxMerioSettingsData::commanderConfig() const
{
    KxCommanderConfig c;
    c.documentsPath = documentsPath();
    c.tmpPath = tmpPath();
    c.cameraNamePattern = cameraNamePattern();
    c.audioDevicePattern = audioDevicePattern();
    c.recordLimitMinutes = recordLimitMinutes();
    c.segmentLength = segmentLength();
    c.videoCodecId = videoCodecId();
    c.videoBitRate = videoBitRate();
    c.frameRate = frameRate();
    c.timeBaseNum = timeBaseNum();
    c.width = width();
    c.height = height();
    c.gopSize = gopSize();
    c.pixelFormat = pixelFormat();
    c.audioCodecId = audioCodecId();
    c.audioBitRate = audioBitRate();
    c.sampleRate = sampleRate();
    c.channels = channels();
    return c;
}

QString KxMerioSettingsData::microphonePattern()
{
    // The unit's name as the sound servers also give it, with the profile
    // they append to a source's description.
    return QStringLiteral("\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD( (Analog|Digital) (Stereo|Mono)| Mono){0,1}\\)*$");
}
