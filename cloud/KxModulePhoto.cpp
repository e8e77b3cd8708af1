#include "KxModulePhoto.h"

#include "IKxMediaPacket.h"
#include "IKxModuleClound.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <algorithm>

IKxModulePhoto *IKxModulePhoto::createInstance()
{
    qDebug() << "IKxModulePhoto::createInstance";
    return new KxModulePhoto();
}

KxModulePhoto::KxModulePhoto(QObject *parent)
    : QObject(parent)
{
    qDebug() << "KxModulePhoto::KxModulePhoto";
}

KxModulePhoto::~KxModulePhoto()
{
    qDebug() << "KxModulePhoto::~KxModulePhoto";
}

int KxModulePhoto::init()
{
    qDebug() << "KxModulePhoto::init";
    return 0;
}

int KxModulePhoto::start()
{
    qDebug() << "KxModulePhoto::start";
    return 0;
}

int KxModulePhoto::stop()
{
    qDebug() << "KxModulePhoto::stop";
    return 0;
}

int KxModulePhoto::destory()
{
    qDebug() << "KxModulePhoto::destory";
    m_pCloud = nullptr;
    return 0;
}

int KxModulePhoto::config(const QString &folder, const QString &namePrefix)
{
    qDebug() << "KxModulePhoto::config" << folder << namePrefix;
    m_strFolder = folder;
    m_strPrefix = namePrefix;
    m_iCounter = 1;
    return 0;
}

int KxModulePhoto::registerCallback(ICallBack *callback)
{
    qDebug() << "KxModulePhoto::registerCallback" << static_cast<void *>(callback);
    m_pCallback = callback;
    return 0;
}

void KxModulePhoto::setCloundModule(IKxModuleClound *cloud)
{
    qDebug() << "KxModulePhoto::setCloundModule" << static_cast<void *>(cloud);
    m_pCloud = cloud;
}

void KxModulePhoto::reportError(int type, const char *message)
{
    // The commander always registers its adapter before packets flow; without
    // one the error is still visible in the log.
    qWarning() << "KxModulePhoto::reportError" << type << message;
    if (m_pCallback)
        m_pCallback->error(type, message);
}

int KxModulePhoto::saveMediaPacket(IKxMediaPacket *packet)
{
    qDebug() << "KxModulePhoto::saveMediaPacket" << static_cast<void *>(packet);
    if (!packet || packet->getType() != KX_PACKET_PHOTO) {
        qDebug() << "KxModulePhoto::saveMediaPacket" << "type:" << (packet ? packet->getType() : -1);
        reportError(0, "PacketTypeError");
        return -1;
    }
    saveFile(packet->getData(), packet->getSize());
    return 0;
}

void KxModulePhoto::saveFile(const uint8_t *data, int size)
{
    qDebug() << "KxModulePhoto::saveFile" << static_cast<const void *>(data) << size;
    if (!data) {
        reportError(1, "DataNullError");
        qDebug() << "KxModulePhoto::saveFile" << "data is null.";
        return;
    }
    QDir dir(m_strFolder);
    if (m_strFolder.isEmpty() || !dir.exists()) {
        if (m_strFolder.isEmpty() || !dir.mkpath(QStringLiteral("."))) {
            reportError(2, "PathError");
            qDebug() << "KxModulePhoto::saveFile" << "mkpath failed." << m_strFolder;
            return;
        }
    }
    const int number = m_iCounter++;
    // One substitution for all parts: a folder or prefix holding "%1" must
    // not take the number.
    const QString path = QStringLiteral("%1/%2%3.%4")
                             .arg(m_strFolder, m_strPrefix, QString::number(number), QStringLiteral("jpg"));
    qDebug() << "KxModulePhoto::saveFile" << "file path: " << path;

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qDebug() << "KxModulePhoto::saveFile" << "file open error." << file.errorString();
        return;
    }
    const qint64 written = size > 0 ? file.write(reinterpret_cast<const char *>(data), size) : 0;
    qDebug() << "KxModulePhoto::saveFile" << "write size: " << written;
    file.close();
    if (written != qint64(std::max(size, 0)) || file.error() != QFileDevice::NoError) {
        // A cut-off picture must neither stay behind nor reach the class.
        qWarning() << "KxModulePhoto::saveFile" << "write failed, file removed:" << path << written << "of" << size
                   << file.errorString();
        QFile::remove(path);
        reportError(3, "WriteError");
        return;
    }

    if (m_pCloud)
        m_pCloud->uploadPhoto(path.toUtf8().constData());
}
