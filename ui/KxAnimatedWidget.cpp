#include "KxAnimatedWidget.h"

#include "KxUiCommon.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QtDebug>

class KxAnimatedWidgetPrivate {
public:
    double *m_pScale = nullptr;
    QString m_strFrameDir;
    QSize m_frameSize;
    int m_iInterval = 20;
    QTimer m_timer;
    QLabel *m_pImageLabel = nullptr;
    QStringList m_frames;
    int m_iNext = 0;
};

KxAnimatedWidget::KxAnimatedWidget(const QString &frameDir, const QSize &frameSize, int interval, double *scale,
                                   QWidget *parent)
    : QWidget(parent), m_pData(new KxAnimatedWidgetPrivate)
{
    kxInitUiResources();
    m_pData->m_pScale = scale;
    m_pData->m_strFrameDir = frameDir;
    m_pData->m_frameSize = frameSize;
    m_pData->m_iInterval = interval;
    if (!parent) {
        kxMakeFloating(this);
        if (QScreen *screen = QGuiApplication::primaryScreen())
            setGeometry(screen->availableGeometry());
    }

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_pData->m_pImageLabel = new QLabel(this);
    m_pData->m_pImageLabel->setFixedSize(frameSize);
    m_pData->m_pImageLabel->setStyleSheet("background-color: transparent;");
    layout->addWidget(m_pData->m_pImageLabel, 0, Qt::AlignCenter);

    const QDir dir(frameDir);
    for (const QString &name : dir.entryList({"*.png"}, QDir::Files, QDir::Name | QDir::IgnoreCase))
        m_pData->m_frames << dir.filePath(name);
    if (m_pData->m_frames.isEmpty())
        qWarning() << "KxAnimatedWidget::KxAnimatedWidget, no frames in" << frameDir;

    m_pData->m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_pData->m_timer, &QTimer::timeout, this, &KxAnimatedWidget::onTimeOut);
}

KxAnimatedWidget::~KxAnimatedWidget()
{
    delete m_pData;
}

int KxAnimatedWidget::frameCount() const
{
    return m_pData->m_frames.size();
}

void KxAnimatedWidget::startMovie()
{
    qDebug() << "KxAnimatedWidget::startMovie" << m_pData->m_strFrameDir;
    m_pData->m_iNext = 0;
    m_pData->m_timer.start(m_pData->m_iInterval);
}

void KxAnimatedWidget::onTimeOut()
{
    if (m_pData->m_iNext < m_pData->m_frames.size()) {
        // Read past QPixmapCache: QPixmap's own loading keeps every frame
        // there (up to 10 MB of frames nobody shows again while the
        // program waits in the tray).
        const QPixmap frame = QPixmap::fromImage(QImage(m_pData->m_frames.at(m_pData->m_iNext)));
        m_pData->m_pImageLabel->setPixmap(
            frame.scaled(m_pData->m_frameSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        ++m_pData->m_iNext;
    }
    if (m_pData->m_iNext >= m_pData->m_frames.size()) {
        m_pData->m_timer.stop();
        emit sigToExit();
    }
}
