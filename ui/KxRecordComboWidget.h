#pragma once
// The recording pair: a floating preview window (the camera picture is
// painted into its preview area's native window) and the floating record
// control below it. Dragging either window moves the other by the same
// offset. Main thread.

#include "KxMovableWidget.h"

#include <QObject>
#include <cstdint>

class KxMasterCommander;
class KxRecordCtrlWidget;
class KxTransCoverWidgetPrivate;
class KxRecordComboWidgetPrivate;

/// The preview window. Its preview area is a plain child with a native window.
class KxTransCoverWidget : public KxMovableWidget {
    Q_OBJECT
public:
    KxTransCoverWidget(KxRecordCtrlWidget *ctrl, double *scale, QWidget *parent = nullptr);
    ~KxTransCoverWidget() override;

    /// The area the camera picture is painted into (owned by this window).
    QWidget *previewArea() const;

public slots:
    /// The control was dragged: follow it, then bring both to the front.
    void onCtrlWidgetMoved(const QPoint &offset);
    /// This window was dragged: move the control with it.
    void onCoverWidgetMoved(const QPoint &offset);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    KxTransCoverWidgetPrivate *m_pData;
};

class KxRecordComboWidget : public QObject {
    Q_OBJECT
public:
    explicit KxRecordComboWidget(double *scale, QObject *parent = nullptr);
    /// Deletes both windows.
    ~KxRecordComboWidget() override;

    /// Hands the commander to the record control (see KxRecordCtrlWidget).
    void setCommander(KxMasterCommander *commander);

    /// Lower right corner of the available area, the control just below the
    /// preview.
    void showOnInitPos();
    void startRecord();
    void stopRecord();
    /// The elapsed milliseconds of the last stop; resets them to 0.
    int64_t takeLastElapsed();
    /// A short black flash over the preview (the snapshot was taken).
    void runClipAnimation();

    void show();
    void hide();
    bool isVisible() const;

    /// The preview area: its winId() is the commander's camera screen.
    QWidget *previewArea() const;
    KxTransCoverWidget *coverWidget() const;
    KxRecordCtrlWidget *ctrlWidget() const;

signals:
    void sigToClipImg();
    void sigToExit(const int &elapsed);

private:
    KxRecordComboWidgetPrivate *m_pData;
};
