#include "KxMovableWidget.h"

#include <QMouseEvent>

namespace {
// Smaller moves are the wobble of a click, not a drag.
constexpr int kDragThreshold = 6;

// The drag rule shared by the window and the dialog: the offset to move by,
// or a null point while the pointer is still within the click's wobble.
QPoint dragOffset(const QPoint &pressPos, const QPoint &pos)
{
    const QPoint d = pos - pressPos;
    if (qAbs(d.x()) < kDragThreshold && qAbs(d.y()) < kDragThreshold)
        return QPoint();
    return d;
}
} // namespace

class KxMovableWidgetPrivate {
public:
    QPoint m_pressPos;
    bool m_bDragging = false;
    bool m_bMoved = false;
};

KxMovableWidget::KxMovableWidget(QWidget *parent) : QWidget(parent), m_pData(new KxMovableWidgetPrivate) {}

KxMovableWidget::~KxMovableWidget()
{
    delete m_pData;
}

bool KxMovableWidget::isMoved() const
{
    return m_pData->m_bMoved;
}

void KxMovableWidget::mousePressEvent(QMouseEvent *event)
{
    m_pData->m_pressPos = event->pos();
    m_pData->m_bDragging = true;
    m_pData->m_bMoved = false;
    QWidget::mousePressEvent(event);
}

void KxMovableWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pData->m_bDragging)
        return QWidget::mouseMoveEvent(event);
    const QPoint offset = dragOffset(m_pData->m_pressPos, event->pos());
    if (offset.isNull())
        return;
    move(pos() + offset);
    m_pData->m_bMoved = true;
    emit sigToMove(offset);
}

void KxMovableWidget::mouseReleaseEvent(QMouseEvent *event)
{
    m_pData->m_bDragging = false;
    QWidget::mouseReleaseEvent(event);
}

class KxMovableDlgPrivate {
public:
    QPoint m_pressPos;
    bool m_bDragging = false;
};

KxMovableDlg::KxMovableDlg(QWidget *parent) : QDialog(parent), m_pData(new KxMovableDlgPrivate)
{
    setModal(true);
}

KxMovableDlg::~KxMovableDlg()
{
    delete m_pData;
}

void KxMovableDlg::mousePressEvent(QMouseEvent *event)
{
    m_pData->m_pressPos = event->pos();
    m_pData->m_bDragging = true;
    QDialog::mousePressEvent(event);
}

void KxMovableDlg::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pData->m_bDragging)
        return QDialog::mouseMoveEvent(event);
    const QPoint offset = dragOffset(m_pData->m_pressPos, event->pos());
    if (!offset.isNull())
        move(pos() + offset);
}

void KxMovableDlg::mouseReleaseEvent(QMouseEvent *event)
{
    m_pData->m_bDragging = false;
    QDialog::mouseReleaseEvent(event);
}
