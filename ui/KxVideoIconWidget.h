#pragma once
// The idle record button: a floating round icon that starts a recording when
// clicked and moves when dragged. Main thread.

#include "KxMovableWidget.h"

#include <QLabel>
#include <QPoint>

/// The icon inside the button. A press and release that stayed within 5
/// pixels of the press on both axes is a click; a larger move is a drag of
/// the parent window and never a click.
class RecordIconLabel : public QLabel {
    Q_OBJECT
public:
    explicit RecordIconLabel(QWidget *parent = nullptr);

signals:
    void sigPressed();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QPoint m_pressPos;
    bool m_bPressed = false;
    bool m_bMoved = false;
};

class KxVideoIconWidgetPrivate;

class KxVideoIconWidget : public KxMovableWidget {
    Q_OBJECT
public:
    explicit KxVideoIconWidget(double *scale, QWidget *parent = nullptr);
    ~KxVideoIconWidget() override;

signals:
    /// The icon was clicked (not dragged).
    void sigToExit();

private:
    KxVideoIconWidgetPrivate *m_pData;
};
