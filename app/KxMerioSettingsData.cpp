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

QString KxMerioSettingsData::microphonePattern()
{
    // The unit's name as the sound servers also give it, with the profile
    // they append to a source's description.
    return QStringLiteral("\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD( (Analog|Digital) (Stereo|Mono)| Mono){0,1}\\)*$");
}
