#pragma once
// A push button drawn by one image that sinks down and right while pressed.
// Main thread.

#include <QPushButton>

class KxPushButtonPrivate;

class KxPushButton : public QPushButton {
    Q_OBJECT
public:
    /// imagePath: the button's image (":/img/images/stop.png"); scale: the
    /// UI scale factor, read at each press (not owned, may be null).
    KxPushButton(const QString &imagePath, double *scale, QWidget *parent = nullptr);
    ~KxPushButton() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    KxPushButtonPrivate *m_pData;
};
