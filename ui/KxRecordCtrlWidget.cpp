#include "KxRecordCtrlWidget.h"

#include "KxAddActionByQueue.h"
#include "KxMerioSettingsData.h"
#include "KxPushButton.h"
#include "KxUiCommon.h"

#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QShowEvent>
#include <QTime>
#include <QTimer>
#include <QtDebug>

namespace {
// The time turns red when this many seconds or fewer are left.
constexpr int kWarnSeconds = 30;
constexpr int kRefreshMs = 100;
} // namespace

class KxRecordCtrlWidgetPrivate {
public:
    double *m_pScale = nullptr;
    int m_iMaxSeconds = 0;
    QTimer m_timer;
    QLabel *m_pTimeLabel = nullptr;
    KxRecordCtrlWidget::ElapsedSource m_elapsed;
    int64_t m_iStartStamp = 0;
    int64_t m_iLastElapesedTime = 0;

    int64_t elapsedNow() const { return (m_elapsed ? m_elapsed() : 0) - m_iStartStamp; }

    void refreshLabel()
    {
        const double s = kxScaleOf(m_pScale);
        const int seconds = int(m_iLastElapesedTime / 1000);
        m_pTimeLabel->setText(QTime(0, seconds / 60, seconds % 60).toString("mm:ss"));
        const char *color = (m_iMaxSeconds - seconds <= kWarnSeconds) ? "#ff2a3a" : "#ffffff";
        m_pTimeLabel->setStyleSheet(QString("QLabel#m_pTimeLabel{font-size:%1px; font-family:Microsoft YaHei;"
                                            "color: %2; background-color: transparent;}")
                                        .arg(kxScaledFloor(20, s))
                                        .arg(color));
    }
};

KxRecordCtrlWidget::KxRecordCtrlWidget(double *scale, QWidget *parent)
    : KxMovableWidget(parent), m_pData(new KxRecordCtrlWidgetPrivate)
{
    kxInitUiResources();
    m_pData->m_pScale = scale;
    const double s = kxScaleOf(scale);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::FramelessWindowHint | Qt::Tool | Qt::BypassWindowManagerHint);
    setFixedSize(kxScaled(192, s), kxScaled(48, s));

    auto *back = kxAddBackWidget(
        this, "backWidget1",
        QString("QWidget#backWidget1{ background-color: #303a6d; border-radius: %1px;}").arg(kxScaledFloor(4, s)));

    auto *stopBtn = new KxPushButton(":/img/images/stop.png", scale, back);
    stopBtn->setObjectName("stopBtn");
    stopBtn->setFixedSize(kxScaled(32, s), kxScaled(32, s));
    auto *clipBtn = new KxPushButton(":/img/images/clip.png", scale, back);
    clipBtn->setObjectName("clipBtn");
    clipBtn->setFixedSize(kxScaled(32, s), kxScaled(32, s));
    auto *sep = new QLabel(back);
    sep->setObjectName("seperator");
    sep->setFixedSize(kxScaled(1, s) ? kxScaled(1, s) : 1, kxScaled(20, s));
    sep->setStyleSheet("QLabel#seperator{background-color: #18235e; }");
    auto *sep1 = new QLabel(back);
    sep1->setObjectName("seperator1");
    sep1->setFixedSize(sep->size());
    sep1->setStyleSheet("QLabel#seperator1{background-color: #474f79; }");
    m_pData->m_pTimeLabel = new QLabel(back);
    m_pData->m_pTimeLabel->setObjectName("m_pTimeLabel");
    m_pData->m_pTimeLabel->setFixedSize(kxScaled(52, s), kxScaled(26, s));
    m_pData->m_pTimeLabel->setAlignment(Qt::AlignCenter);

    auto *layout = new QHBoxLayout(back);
    layout->setContentsMargins(kxScaled(14, s), kxScaled(8, s), kxScaled(14, s), kxScaled(8, s));
    layout->setSpacing(kxScaled(8, s));
    layout->addWidget(stopBtn);
    layout->addWidget(clipBtn);
    layout->addStretch(20);
    layout->addWidget(sep);
    layout->setSpacing(kxScaled(8, s));
    layout->addWidget(sep1);
    layout->addStretch(20);
    layout->addWidget(m_pData->m_pTimeLabel);
    layout->setSpacing(0);

    m_pData->m_iMaxSeconds = KxMerioSettingsData::instance()->recordLimitMinutes() * 60;
    m_pData->refreshLabel();
    connect(&m_pData->m_timer, &QTimer::timeout, this, &KxRecordCtrlWidget::onRecordTimeChanged);
    connect(stopBtn, &QPushButton::clicked, this, &KxRecordCtrlWidget::onStopBtnClicked);
    connect(clipBtn, &QPushButton::clicked, this, &KxRecordCtrlWidget::onClipImage);
}

KxRecordCtrlWidget::~KxRecordCtrlWidget()
{
    delete m_pData;
}

void KxRecordCtrlWidget::setElapsedSource(ElapsedSource source)
{
    m_pData->m_elapsed = std::move(source);
}

QLabel *KxRecordCtrlWidget::timeLabel() const
{
    return m_pData->m_pTimeLabel;
}

void KxRecordCtrlWidget::startRecord()
{
    qDebug() << "KxRecordCtrlWidget::startRecord";
    // The commander restarts its clock for every recording, so the count
    // starts at 0.
    m_pData->m_iStartStamp = 0;
    m_pData->m_iLastElapesedTime = 0;
    m_pData->refreshLabel();
    m_pData->m_timer.start(kRefreshMs);
}

void KxRecordCtrlWidget::onRecordTimeChanged()
{
    const int64_t elapsed = m_pData->elapsedNow();
    m_pData->m_iLastElapesedTime = elapsed;
    m_pData->refreshLabel();
    if (elapsed / 1000 >= m_pData->m_iMaxSeconds) {
        qDebug() << "KxRecordCtrlWidget::onRecordTimeChanged, limit reached, elapsed: " << elapsed;
        KxAddActionByQueue("id_recording_end", QJsonObject());
        m_pData->m_timer.stop();
        emit sigToExit(int(elapsed));
    }
}

void KxRecordCtrlWidget::onStopBtnClicked()
{
    const int seconds = int(m_pData->m_iLastElapesedTime / 1000);
    const QString duration =
        QString("00:%1:%2").arg(seconds / 60, 2, 10, QChar('0')).arg(seconds % 60, 2, 10, QChar('0'));
    qDebug() << "KxRecordCtrlWidget::onStopBtnClicked, duration: " << duration;
    KxAddActionByQueue("id_recording_stop", QJsonObject{{"duration", duration}});
    const int64_t elapsed = m_pData->elapsedNow();
    m_pData->m_timer.stop();
    emit sigToExit(int(elapsed));
}

void KxRecordCtrlWidget::onClipImage()
{
    qDebug() << "KxRecordCtrlWidget::onClipImage";
    KxAddActionByQueue("id_take_photo", QJsonObject());
    emit sigToClipImg();
}

void KxRecordCtrlWidget::stopRecord()
{
    m_pData->m_timer.stop();
    m_pData->m_iLastElapesedTime = m_pData->elapsedNow();
    m_pData->refreshLabel();
    qDebug() << "KxRecordCtrlWidget::stopRecord, m_pData->m_iLastElapesedTime: " << m_pData->m_iLastElapesedTime;
}

int64_t KxRecordCtrlWidget::takeLastElapsed()
{
    const int64_t last = m_pData->m_iLastElapesedTime;
    m_pData->m_iLastElapesedTime = 0;
    return last;
}

void KxRecordCtrlWidget::showEvent(QShowEvent *event)
{
    KxMovableWidget::showEvent(event);
    kxRaiseOnTop(this);
}
