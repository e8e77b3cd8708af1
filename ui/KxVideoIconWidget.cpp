#include "KxVideoIconWidget.h"

#include "KxUiCommon.h"

#include <QMouseEvent>
#include <QVBoxLayout>
#include <QtDebug>

namespace {
// A click may wobble this far on each axis; more is a drag of the button.
constexpr int kClickWobble = 5;
} // namespace

RecordIconLabel::RecordIconLabel(QWidget *parent) : QLabel(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void RecordIconLabel::mousePressEvent(QMouseEvent *event)
{
    qDebug() << "RecordIconLabel::mousePressEvent, evt pos: " << event->pos();
    if (event->button() == Qt::LeftButton) {
        m_bPressed = true;
        m_bMoved = false;
        m_pressPos = event->pos();
    }
    // The window drags itself: let the press travel on to it.
    event->ignore();
}

void RecordIconLabel::mouseMoveEvent(QMouseEvent *event)
{
    if (m_bPressed) {
        const QPoint d = event->pos() - m_pressPos;
        if (qAbs(d.x()) > kClickWobble || qAbs(d.y()) > kClickWobble)
            m_bMoved = true;
    }
    event->ignore();
}

void RecordIconLabel::mouseReleaseEvent(QMouseEvent *event)
{
    qDebug() << "RecordIconLabel::mouseReleaseEvent, evt pos: " << event->pos();
    const bool click = m_bPressed && !m_bMoved;
    m_bPressed = false;
    m_bMoved = false;
    event->ignore();
    if (click)
        emit sigPressed();
}

class KxVideoIconWidgetPrivate {
public:
    double *m_pScale = nullptr;
    RecordIconLabel *m_pLabel = nullptr;
};

KxVideoIconWidget::KxVideoIconWidget(double *scale, QWidget *parent)
    : KxMovableWidget(parent), m_pData(new KxVideoIconWidgetPrivate)
{
    kxInitUiResources();
    m_pData->m_pScale = scale;
    const double s = kxScaleOf(scale);
    kxMakeFloating(this);
    setFixedSize(kxScaled(112, s), kxScaled(112, s));

    auto *back = kxAddBackWidget(this, "backWidget", "QWidget#backWidget{background-color: transparent;}");
    auto *layout = new QVBoxLayout(back);
    layout->setContentsMargins(0, 0, 0, 0);
    m_pData->m_pLabel = new RecordIconLabel(back);
    m_pData->m_pLabel->setObjectName("recordiocn");
    m_pData->m_pLabel->setFixedSize(size());
    m_pData->m_pLabel->setStyleSheet(
        QString("QLabel#recordiocn{ background-color: transparent; border-image: url(%1);}")
            .arg(":/img/images/recordiconshade.png"));
    layout->addWidget(m_pData->m_pLabel);

    connect(m_pData->m_pLabel, &RecordIconLabel::sigPressed, this, &KxVideoIconWidget::sigToExit);
}

KxVideoIconWidget::~KxVideoIconWidget()
{
    delete m_pData;
}
