#pragma once
// Windows that the user drags by any point. A move of less than 6 pixels on
// both axes from the press position is ignored, so a small wobble of a click
// never moves the window. Main thread.

#include <QDialog>
#include <QWidget>

class KxMovableWidgetPrivate;
class KxMovableDlgPrivate;

class KxMovableWidget : public QWidget {
    Q_OBJECT
public:
    explicit KxMovableWidget(QWidget *parent = nullptr);
    ~KxMovableWidget() override;

    /// Whether the window was moved by a drag since the last press.
    bool isMoved() const;

signals:
    /// The window was dragged by offset (emitted after it moved).
    void sigToMove(const QPoint &offset);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    KxMovableWidgetPrivate *m_pData;
};

/// A modal dialog dragged the same way; it emits nothing.
class KxMovableDlg : public QDialog {
    Q_OBJECT
public:
    explicit KxMovableDlg(QWidget *parent = nullptr);
    ~KxMovableDlg() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    KxMovableDlgPrivate *m_pData;
};
