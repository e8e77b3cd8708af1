#include "KxRecordComboWidget.h"

#include "KxRecordCtrlWidget.h"
#include "KxUiCommon.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QtDebug>

namespace {
// The preview stops repainting this long after a start: from then on the
// camera picture is painted into its native window by the display layer.
constexpr int kPreviewUpdatesOffMs = 2000;
constexpr int kFlashMs = 80;
} // namespace

class KxTransCoverWidgetPrivate {
public:
    KxRecordCtrlWidget *m_pCtrl = nullptr;
    QWidget *m_pPreview = nullptr;
};

KxTransCoverWidget::KxTransCoverWidget(KxRecordCtrlWidget *ctrl, double *scale, QWidget *parent)
    : KxMovableWidget(parent), m_pData(new KxTransCoverWidgetPrivate)
{
    kxInitUiResources();
    m_pData->m_pCtrl = ctrl;
    const double s = kxScaleOf(scale);
    setFixedSize(kxScaled(404, s), kxScaled(229, s));

    auto *back = kxAddBackWidget(
        this, "backWidget", "QWidget#backWidget{background-color: #000000;border-image: url(:/img/images/box.png);}");
    back->setFixedSize(size());

    m_pData->m_pPreview = new QWidget(back);
    m_pData->m_pPreview->setObjectName("previewArea");
    m_pData->m_pPreview->setGeometry(kxScaled(2, s), kxScaled(2, s), kxScaled(404, s) - kxScaled(4, s),
                                     kxScaled(229, s) - kxScaled(4, s));
    // The display layer paints into this window directly.
    m_pData->m_pPreview->setAttribute(Qt::WA_NativeWindow);
    m_pData->m_pPreview->setAttribute(Qt::WA_DontCreateNativeAncestors);

    connect(ctrl, &KxMovableWidget::sigToMove, this, &KxTransCoverWidget::onCtrlWidgetMoved);
    connect(this, &KxMovableWidget::sigToMove, this, &KxTransCoverWidget::onCoverWidgetMoved);
    installEventFilter(this);
    ctrl->installEventFilter(this);
}

KxTransCoverWidget::~KxTransCoverWidget()
{
    delete m_pData;
}

QWidget *KxTransCoverWidget::previewArea() const
{
    return m_pData->m_pPreview;
}

void KxTransCoverWidget::onCtrlWidgetMoved(const QPoint &offset)
{
    move(pos() + offset);
    m_pData->m_pCtrl->activateWindow();
    activateWindow();
}

void KxTransCoverWidget::onCoverWidgetMoved(const QPoint &offset)
{
    m_pData->m_pCtrl->move(m_pData->m_pCtrl->pos() + offset);
}

bool KxTransCoverWidget::eventFilter(QObject *watched, QEvent *event)
{
    // The pair comes to the front together whichever window is touched.
    if ((watched == this || watched == m_pData->m_pCtrl)
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseMove)) {
        raise();
        activateWindow();
        m_pData->m_pCtrl->raise();
        m_pData->m_pCtrl->activateWindow();
    }
    return KxMovableWidget::eventFilter(watched, event);
}

class KxRecordComboWidgetPrivate {
public:
    double *m_pScale = nullptr;
    KxTransCoverWidget *m_pCover = nullptr;
    KxRecordCtrlWidget *m_pCtrl = nullptr;
    QTimer m_updatesOff;
};

KxRecordComboWidget::KxRecordComboWidget(double *scale, QObject *parent)
    : QObject(parent), m_pData(new KxRecordComboWidgetPrivate)
{
    m_pData->m_pScale = scale;
    m_pData->m_pCtrl = new KxRecordCtrlWidget(scale);
    m_pData->m_pCover = new KxTransCoverWidget(m_pData->m_pCtrl, scale);
    m_pData->m_pCover->setWindowFlags(Qt::FramelessWindowHint | Qt::Tool);
    m_pData->m_pCtrl->hide();
    m_pData->m_pCover->hide();

    m_pData->m_updatesOff.setSingleShot(true);
    connect(&m_pData->m_updatesOff, &QTimer::timeout, this,
            [this] { m_pData->m_pCover->previewArea()->setUpdatesEnabled(false); });
    connect(m_pData->m_pCtrl, &KxRecordCtrlWidget::sigToClipImg, this, &KxRecordComboWidget::sigToClipImg);
    connect(m_pData->m_pCtrl, &KxRecordCtrlWidget::sigToExit, this, &KxRecordComboWidget::sigToExit);
}

KxRecordComboWidget::~KxRecordComboWidget()
{
    delete m_pData->m_pCover;
    delete m_pData->m_pCtrl;
    delete m_pData;
}

void KxRecordComboWidget::showOnInitPos()
{
    const double s = kxScaleOf(m_pData->m_pScale);
    QRect area(0, 0, 1920, 1080);
    if (QScreen *screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    const int w = area.width(), h = area.height();
    m_pData->m_pCover->move(w - kxScaled(424, s), h - kxScaled(301, s));
    m_pData->m_pCtrl->move(w - kxScaled(424, s), h - kxScaled(68, s));
}

void KxRecordComboWidget::startRecord()
{
    m_pData->m_pCtrl->startRecord();
    m_pData->m_updatesOff.start(kPreviewUpdatesOffMs);
}

void KxRecordComboWidget::stopRecord()
{
    m_pData->m_updatesOff.stop();
    m_pData->m_pCover->previewArea()->setUpdatesEnabled(true);
    m_pData->m_pCtrl->stopRecord();
}

int64_t KxRecordComboWidget::takeLastElapsed()
{
    return m_pData->m_pCtrl->takeLastElapsed();
}

void KxRecordComboWidget::runClipAnimation()
{
    qDebug() << "KxRecordComboWidget::runClipAnimation";
    auto *flash = new QWidget;
    flash->setWindowFlags(Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnTopHint);
    flash->setAttribute(Qt::WA_DeleteOnClose);
    flash->setStyleSheet("background-color: #000000;");
    flash->setGeometry(m_pData->m_pCover->geometry());
    flash->show();
    auto *anim = new QPropertyAnimation(flash, "windowOpacity", flash);
    anim->setDuration(kFlashMs);
    anim->setStartValue(1.0);
    anim->setEndValue(0.0);
    connect(anim, &QPropertyAnimation::finished, flash, &QWidget::deleteLater);
    anim->start();
}

void KxRecordComboWidget::show()
{
    m_pData->m_pCover->show();
    m_pData->m_pCtrl->show();
}

void KxRecordComboWidget::hide()
{
    m_pData->m_pCover->hide();
    m_pData->m_pCtrl->hide();
}

bool KxRecordComboWidget::isVisible() const
{
    return m_pData->m_pCover->isVisible();
}

QWidget *KxRecordComboWidget::previewArea() const
{
    return m_pData->m_pCover->previewArea();
}

KxTransCoverWidget *KxRecordComboWidget::coverWidget() const
{
    return m_pData->m_pCover;
}

KxRecordCtrlWidget *KxRecordComboWidget::ctrlWidget() const
{
    return m_pData->m_pCtrl;
}
