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
    m_cameraPattern = m_audioPattern = devicePattern();
}

KxMerioSettingsData::~KxMerioSettingsData()
{
    qDebug() << "KxMerioSettingsData::~KxMerioSettingsData";
}

QString KxMerioSettingsData::devicePattern()
{
    return QStringLiteral("\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$");
}
