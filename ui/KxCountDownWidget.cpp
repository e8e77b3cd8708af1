#include "KxCountDownWidget.h"

#include "KxAnimatedWidget.h"
#include "KxMerioSettingsData.h"
#include "KxUiCommon.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>
#include <QtDebug>

class KxCountDownWidgetPrivate {
public:
    double *m_pScale = nullptr;
    QLabel *m_pInfoLbl = nullptr;
    KxAnimatedWidget *m_pMovie = nullptr;
};

KxCountDownWidget::KxCountDownWidget(double *scale, QWidget *parent)
    : QWidget(parent), m_pData(new KxCountDownWidgetPrivate)
{
    m_pData->m_pScale = scale;
    const double s = kxScaleOf(scale);
    kxMakeFloating(this);
    if (QScreen *screen = QGuiApplication::primaryScreen())
        setFixedSize(screen->geometry().size());

    auto *back = kxAddBackWidget(
        this, "backWidget", QString("QWidget#backWidget{ background-color: #66000000; border-radius: %1px;} ").arg(0));

    auto *layout = new QVBoxLayout(back);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addStretch(340);
    m_pData->m_pMovie = new KxAnimatedWidget(":/img/images/countdownmovie",
                                             QSize(kxScaled(300, s), kxScaled(300, s)), 20, scale, back);
    layout->addWidget(m_pData->m_pMovie, 0, Qt::AlignHCenter);
    layout->addStretch(32);
    m_pData->m_pInfoLbl = new QLabel(back);
    m_pData->m_pInfoLbl->setObjectName("m_pInfoLbl");
    m_pData->m_pInfoLbl->setFixedSize(kxScaled(200, s), kxScaled(50, s));
    m_pData->m_pInfoLbl->setAlignment(Qt::AlignCenter);
    m_pData->m_pInfoLbl->setStyleSheet(
        QString("QLabel#m_pInfoLbl{font-size:%1px; font-family:Microsoft YaHei;color: #ffffff; "
                "background-color: #99000000; border-radius: %2px;}")
            .arg(kxScaledFloor(16, s))
            .arg(kxScaledFloor(4, s)));
    m_pData->m_pInfoLbl->setText(tr("ID_RECORD_LENGTH_INFO").arg(KxMerioSettingsData::instance()->recordLimitMinutes()));
    layout->addWidget(m_pData->m_pInfoLbl, 0, Qt::AlignHCenter);
    layout->addStretch(308);

    connect(m_pData->m_pMovie, &KxAnimatedWidget::sigToExit, this, &KxCountDownWidget::sigToExit);
}

KxCountDownWidget::~KxCountDownWidget()
{
    delete m_pData;
}

void KxCountDownWidget::startMovie()
{
    qDebug() << "KxCountDownWidget::startMovie";
    m_pData->m_pMovie->startMovie();
}
